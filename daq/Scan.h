// Scan definitions: a scan variable runs from a first to a last value in
// fixed steps, a scan point is a named set of variables (one per type), and
// a scan list holds the named scans of the configuration.
#ifndef BRISKO_DAQ_SCAN_H
#define BRISKO_DAQ_SCAN_H

#include <iosfwd>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "ostrel/Parameter.h"

// The most points a scan may have, all its variables together. A larger
// scan is refused wherever one comes in (the configuration, the scan dialog,
// a remote client's parameter) and by the scan run manager, before any point
// is made: the points of a scan are all held at once, some hundred bytes
// each.
constexpr long max_scan_points = 1000000;

class ScanVar {
public:
    // The codes are stored in run files and configuration files.
    enum ScanType {
        channel = 0,
        pulse = 1,
        threshold = 2,
        trim = 3,
        xposition = 4,
        yposition = 5,
        zposition = 6,
        angle1 = 7,
        angle2 = 8,
        angle3 = 9,
        user1 = 10,
        user2 = 11,
        user3 = 12,
        user4 = 13,
        thrs_trim = 14,
        cal_dac = 15
    };

    // The value starts at `def`. A range that check() refuses leaves a
    // single point at the smaller bound (0 when a bound is not finite) with
    // step 1: callers that take ranges from users test them with check()
    // first.
    ScanVar(ScanType type, double first, double last, double step, double def);

    // Why the range cannot be scanned, or null when it can: the step must be
    // a number greater than 0, the bounds finite, and the points no more
    // than max_scan_points.
    static const char* check(double first, double last, double step);

    // The first value becomes the smaller bound; the number of points counts
    // the steps that fit in the range, with a tolerance of a few rounding
    // errors, so that 0 to 0.3 by 0.1 has 4 points. False, and nothing
    // changed, for a range that check() refuses.
    bool adjust(double first, double last, double step);

    ScanType type() const { return _type; }
    int n_points() const { return _npoints; }
    double first() const { return _first; }
    // The last point: first + (points - 1) * step.
    double last() const { return _first + (_npoints - 1) * _step; }
    double step() const { return _step; }
    double value() const { return _value; }
    double get_default() const { return _default; }
    void set_value(double x) { _value = x; }

    // Display names of the types, by code; "" for a code outside the table.
    static const char* get_name(int i);
    static int get_n_names();

    // One line: type, first, last, step, default and value, in the stream's
    // number format.
    void dump(std::ostream& os) const;
    // Reads what dump() writes and skips the white space after it. A line
    // that does not read, or holds an unknown type or a range that check()
    // refuses, sets the stream's failbit and changes nothing; `why`, when
    // given, gets check()'s reason.
    void load(std::istream& is, std::string* why = nullptr);

private:
    ScanType _type;
    int _npoints;
    double _first;
    double _step;
    double _default;
    double _value;
};

using ScanType = ScanVar::ScanType;

std::ostream& operator<<(std::ostream& os, const ScanVar& var);

class ScanPoint {
public:
    using VarList = std::vector<ScanVar>;
    using iterator = VarList::iterator;
    using const_iterator = VarList::const_iterator;

    ScanPoint() = default;
    explicit ScanPoint(const std::string& name) : name(name) {}
    explicit ScanPoint(const VarList& vars);

    const std::string& get_name() const { return name; }
    void set_name(const std::string& text) { name = text; }
    int nvar() const { return static_cast<int>(vvar.size()); }
    iterator begin() { return vvar.begin(); }
    iterator end() { return vvar.end(); }
    const_iterator begin() const { return vvar.begin(); }
    const_iterator end() const { return vvar.end(); }
    VarList& operator()() { return vvar; }
    const VarList& operator()() const { return vvar; }
    void reset() { vvar.clear(); }

    // The variable of that type, or end().
    iterator find_type(ScanType type);
    const_iterator find_type(ScanType type) const;
    // Replaces the variable of the same type, or appends it.
    void add_var(const ScanVar& var);
    void remove_var(ScanType type);
    // The number of points of the whole grid: the product of the variables'
    // point counts, 1 without variables.
    long npoints() const;
    // Why a scan over these variables is not run (more points than
    // max_scan_points), or "" when it may be.
    static std::string size_error(const VarList& vars);
    // The points of a scan over these variables, in a double, which holds
    // the product of any number of them.
    static double grid_points(const VarList& vars);
    std::string size_error() const { return size_error(vvar); }

    // A line with the number of variables and the name, then one line per
    // variable.
    void dump(std::ostream& os) const;
    // Reads what dump() writes; the name is the rest of its line, so names
    // with blanks and the empty name read back. True when a point was read.
    // At the end of the input nothing changes and the result is false; a
    // text that does not read, or a scan too large to run, also sets the
    // stream's failbit, and `why`, when given, gets the reason of a range
    // or size refused.
    bool load(std::istream& is, std::string* why = nullptr);

    // Expands the variables [from, to) into every combination, appending
    // one point per combination to `list`: copies of `sc` with each
    // variable's value set (first + i * step), the first variable changing
    // slowest. A variable that `sc` lacks is added to the copies. True
    // when `from` equals `to` (a leaf).
    static bool FillList(const_iterator from, const_iterator to, const ScanPoint& sc,
                         std::vector<ScanPoint>& list);

private:
    std::string name;
    VarList vvar;
};

// Each variable in its printed form, one per line.
std::ostream& operator<<(std::ostream& os, const ScanPoint& point);

// Scans by name, in name order.
class ScanList {
public:
    using Map = std::map<std::string, ScanPoint>;
    using iterator = Map::iterator;
    using const_iterator = Map::const_iterator;

    // Replaces any scan of that name by a copy of the point.
    void add_point(const std::string& name, const ScanPoint& point);
    void remove_point(const std::string& name);
    void cpy(const ScanList& other) { scans = other.scans; }

    iterator begin() { return scans.begin(); }
    iterator end() { return scans.end(); }
    const_iterator begin() const { return scans.begin(); }
    const_iterator end() const { return scans.end(); }
    iterator find(const std::string& name) { return scans.find(name); }
    const_iterator find(const std::string& name) const { return scans.find(name); }
    size_t size() const { return scans.size(); }
    bool empty() const { return scans.empty(); }

    // Every scan's ScanPoint::dump, in name order.
    void dump(std::ostream& os) const;
    // Reads points until the input ends or one does not read, storing each
    // under its own name (those read before a bad one stay).
    void load(std::istream& is, std::string* why = nullptr);

private:
    Map scans;
};

// Framework parameters of a scan point and of a scan list whose text form is
// the dump() text. Setting from a text takes the whole text: false, and
// nothing set, unless it is one point (a point parameter) or points only (a
// list parameter, for which the empty text is the empty list). `why` gets
// the reason of a range or size refused.
namespace scan_text {
bool read(const std::string& text, ScanPoint& point, std::string* why = nullptr);
bool read(const std::string& text, ScanList& list, std::string* why = nullptr);
} // namespace scan_text

template <class T>
class ParDumped : public Ostrel::Par<T> {
public:
    ParDumped() = default;
    explicit ParDumped(const T& value) : Ostrel::Par<T>(value) {}

    std::string get_as_string() const override
    {
        std::lock_guard<std::recursive_mutex> lock(this->mutex());
        std::ostringstream os;
        this->get_value().dump(os);
        return os.str();
    }
    bool set_from_string(const std::string& text, bool notify = true) override
    {
        T value;
        if (!scan_text::read(text, value))
            return false;
        this->set_value(value, notify);
        return true;
    }
    std::string refusal(const std::string& text) const override
    {
        T value;
        std::string why;
        scan_text::read(text, value, &why);
        return why;
    }
};

class ParScanPoint : public ParDumped<ScanPoint> {
public:
    using ParDumped<ScanPoint>::ParDumped;
};

class ParScanList : public ParDumped<ScanList> {
public:
    using ParDumped<ScanList>::ParDumped;
};

#endif
