#include "daq/Scan.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <iostream>
#include <sstream>

#include "ostrel/StringUtils.h"

namespace {

const char* const type_names[] = {"Channel", "Pulse",   "Threshold", "Trim",
                                   "xposition", "yposition", "zposition", "angle1",
                                   "angle2",  "angle3",  "user1",     "user2",
                                   "user3",   "user4",   "thrs_trim", "cal_dac"};
const int n_type_names = sizeof type_names / sizeof type_names[0];

// Points of the range lo..hi (lo <= hi) in steps of `step`. The quotient
// carries the rounding errors of the bounds (0.3 / 0.1 is 2.9999999999999996,
// and a saved bound comes back rounded to the digits it was written with):
// a count that falls short of a whole number by less than that still counts.
// False for more points than a scan may have.
bool count_points(double lo, double hi, double step, int& n)
{
    if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(step) || !(step > 0))
        return false;
    const double q = (hi - lo) / step;
    const double magnitude = std::max(std::fabs(lo), std::fabs(hi)) / step;
    const double tolerance = 1e-9 * std::max(1.0, q) + 8 * DBL_EPSILON * magnitude;
    const double steps = std::floor(q + tolerance);
    if (!std::isfinite(steps) || steps >= static_cast<double>(max_scan_points))
        return false;
    n = static_cast<int>(steps) + 1;
    return true;
}

// "the scan has more than 1000000 points" and the like, from the bound.
std::string over_bound(const std::string& what)
{
    return what + " more than the " + std::to_string(max_scan_points) + " points a scan may have";
}

// Skips white space; at the end of the input only eofbit is set.
void skip_blanks(std::istream& is)
{
    if (is.good())
        is >> std::ws;
}

} // namespace

// ScanVar ---------------------------------------------------------------------

ScanVar::ScanVar(ScanType type, double first, double last, double step, double def)
    : _type(type), _npoints(1), _first(0), _step(1), _default(def), _value(def)
{
    if (!adjust(first, last, step) && std::isfinite(first) && std::isfinite(last))
        _first = std::min(first, last);
}

const char* ScanVar::check(double first, double last, double step)
{
    if (!(step > 0) || !std::isfinite(step))
        return "the step must be a number greater than 0";
    if (!std::isfinite(first) || !std::isfinite(last))
        return "the bounds must be finite numbers";
    int n = 0;
    static const std::string too_many = over_bound("the range holds");
    if (!count_points(std::min(first, last), std::max(first, last), step, n))
        return too_many.c_str();
    return nullptr;
}

bool ScanVar::adjust(double first, double last, double step)
{
    if (check(first, last, step))
        return false;
    _first = std::min(first, last);
    _step = step;
    count_points(_first, std::max(first, last), step, _npoints);
    return true;
}

const char* ScanVar::get_name(int i)
{
    return i >= 0 && i < n_type_names ? type_names[i] : "";
}

int ScanVar::get_n_names()
{
    return n_type_names;
}

void ScanVar::dump(std::ostream& os) const
{
    os << static_cast<int>(_type) << ' ' << _first << ' ' << last() << ' ' << _step << ' '
       << _default << ' ' << _value << '\n';
}

void ScanVar::load(std::istream& is, std::string* why)
{
    int type = 0;
    double first = 0, last = 0, step = 0, def = 0, value = 0;
    if (!(is >> type >> first >> last >> step >> def >> value))
        return;
    skip_blanks(is);
    const char* refused = check(first, last, step);
    if (type < 0 || type >= n_type_names || refused) {
        if (refused && why)
            *why = refused;
        is.setstate(std::ios::failbit);
        return;
    }
    _type = static_cast<ScanType>(type);
    _default = def;
    _value = value;
    adjust(first, last, step);
}

std::ostream& operator<<(std::ostream& os, const ScanVar& var)
{
    return os << "Type " << static_cast<int>(var.type()) << " n. points " << var.n_points()
              << " from " << var.first() << " step " << var.step();
}

// ScanPoint -------------------------------------------------------------------

ScanPoint::ScanPoint(const VarList& vars)
{
    for (const ScanVar& v : vars)
        add_var(v);
}

ScanPoint::iterator ScanPoint::find_type(ScanType type)
{
    return std::find_if(vvar.begin(), vvar.end(),
                        [type](const ScanVar& v) { return v.type() == type; });
}

ScanPoint::const_iterator ScanPoint::find_type(ScanType type) const
{
    return std::find_if(vvar.begin(), vvar.end(),
                        [type](const ScanVar& v) { return v.type() == type; });
}

void ScanPoint::add_var(const ScanVar& var)
{
    iterator it = find_type(var.type());
    if (it != vvar.end())
        *it = var;
    else
        vvar.push_back(var);
}

void ScanPoint::remove_var(ScanType type)
{
    iterator it = find_type(type);
    if (it != vvar.end())
        vvar.erase(it);
}

long ScanPoint::npoints() const
{
    long n = 1;
    for (const ScanVar& v : vvar) {
        if (n > LONG_MAX / v.n_points())
            return LONG_MAX;
        n *= v.n_points();
    }
    return n;
}

double ScanPoint::grid_points(const VarList& vars)
{
    double n = 1;
    for (const ScanVar& v : vars)
        n *= v.n_points();
    return n;
}

std::string ScanPoint::size_error(const VarList& vars)
{
    const double n = grid_points(vars);
    if (n <= static_cast<double>(max_scan_points))
        return std::string();
    std::ostringstream os;
    os.precision(15);
    os << "the scan has " << n << " points,";
    return over_bound(os.str());
}

void ScanPoint::dump(std::ostream& os) const
{
    os << vvar.size() << ' ' << name << '\n';
    for (const ScanVar& v : vvar)
        v.dump(os);
}

bool ScanPoint::load(std::istream& is, std::string* why)
{
    skip_blanks(is);
    if (!is.good())
        return false;
    int n = 0;
    if (!(is >> n))
        return false;
    if (n < 0) {
        is.setstate(std::ios::failbit);
        return false;
    }
    std::string rest;
    if (is.good())
        std::getline(is, rest);
    skip_blanks(is);
    if (n > 0 && is.eof()) {
        std::cout << "Wrong syntax in ScanPoint input stream" << std::endl;
        is.setstate(std::ios::failbit);
        return false;
    }

    ScanPoint read(trim_str(rest));
    for (int i = 0; i < n; ++i) {
        ScanVar v(ScanVar::channel, 0, 1, 1, 0);
        v.load(is, why);
        if (is.fail())
            return false;
        read.add_var(v);
    }
    const std::string too_large = read.size_error();
    if (!too_large.empty()) {
        if (why)
            *why = too_large;
        is.setstate(std::ios::failbit);
        return false;
    }
    *this = read;
    return true;
}

bool ScanPoint::FillList(const_iterator from, const_iterator to, const ScanPoint& sc,
                         std::vector<ScanPoint>& list)
{
    if (from == to)
        return true;
    ScanPoint point(sc);
    iterator var = point.find_type(from->type());
    if (var == point.end()) {
        point.vvar.push_back(*from);
        var = point.vvar.end() - 1;
    }
    for (int i = 0; i < from->n_points(); ++i) {
        var->set_value(from->first() + i * from->step());
        if (FillList(from + 1, to, point, list))
            list.push_back(point);
    }
    return false;
}

std::ostream& operator<<(std::ostream& os, const ScanPoint& point)
{
    for (const ScanVar& v : point)
        os << v << std::endl;
    return os;
}

// ScanList --------------------------------------------------------------------

void ScanList::add_point(const std::string& name, const ScanPoint& point)
{
    scans.erase(name);
    scans.emplace(name, point);
}

void ScanList::remove_point(const std::string& name)
{
    scans.erase(name);
}

void ScanList::dump(std::ostream& os) const
{
    for (const auto& entry : scans)
        entry.second.dump(os);
}

void ScanList::load(std::istream& is, std::string* why)
{
    ScanPoint point;
    while (point.load(is, why)) {
        add_point(point.get_name(), point);
        if (!is.good())
            break;
    }
}

// Parameters ------------------------------------------------------------------

namespace {

// The whole text was read: only blanks remain.
bool all_read(std::istringstream& is)
{
    if (is.fail())
        return false;
    skip_blanks(is);
    return is.eof();
}

} // namespace

namespace scan_text {

bool read(const std::string& text, ScanPoint& point, std::string* why)
{
    std::istringstream is(text);
    ScanPoint value;
    if (!value.load(is, why) || !all_read(is))
        return false;
    point = value;
    return true;
}

bool read(const std::string& text, ScanList& list, std::string* why)
{
    std::istringstream is(text);
    ScanList value;
    value.load(is, why);
    if (!all_read(is))
        return false;
    list = value;
    return true;
}

} // namespace scan_text
