// Scan variables, points and lists: ranges, expansion into points, and
// their text forms (also as framework parameters).
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestUtil.h"
#include "daq/Scan.h"

namespace {

// type, points, first, step, value of every variable, and the name.
std::string describe(const ScanPoint& p)
{
    std::ostringstream os;
    os << p.get_name() << ":";
    for (const ScanVar& v : p)
        os << " " << v.type() << "/" << v.n_points() << "/" << v.first() << "/" << v.step() << "/"
           << v.value();
    return os.str();
}

std::string dumped(const ScanPoint& p)
{
    std::ostringstream os;
    p.dump(os);
    return os.str();
}

} // namespace

TEST(ScanVarTest, RangesCountWholeStepsWithinRoundingErrors)
{
    ScanVar v(ScanVar::pulse, 2.5, 0.5, 0.5, 1);
    EXPECT_DOUBLE_EQ(0.5, v.first());
    EXPECT_EQ(5, v.n_points());
    EXPECT_DOUBLE_EQ(2.5, v.last());
    EXPECT_DOUBLE_EQ(1, v.value());

    // (0.3 - 0) / 0.1 is 2.9999999999999996 in doubles.
    const struct {
        double first, last, step;
        int points;
    } cases[] = {{0, 1, 0.3, 4},   {0, 0.3, 0.1, 4},  {0.1, 0.7, 0.2, 4},
                 {1e6 + 0.1, 1e6 + 0.3, 0.1, 3},       {-5, 5, 0.5, 21},
                 {3, 3, 1, 1},     {0, 0.9999, 1, 1}};
    for (const auto& c : cases) {
        ScanVar s(ScanVar::user1, c.first, c.last, c.step, 0);
        EXPECT_EQ(c.points, s.n_points()) << c.first << ".." << c.last;
        EXPECT_LE(s.last(), c.last + 1e-9);
    }

    EXPECT_STREQ("Channel", ScanVar::get_name(0));
    EXPECT_STREQ("cal_dac", ScanVar::get_name(15));
    EXPECT_STREQ("", ScanVar::get_name(16));
    EXPECT_EQ(16, ScanVar::get_n_names());
}

TEST(ScanVarTest, StepsOfZeroOrBelowAreRefused)
{
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(nullptr, ScanVar::check(0, 10, 1));
    for (double step : {0.0, -1.0, inf, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_STREQ("the step must be a number greater than 0", ScanVar::check(0, 10, step));
    EXPECT_STREQ("the bounds must be finite numbers", ScanVar::check(0, inf, 1));
    EXPECT_STREQ("the range holds more than the 1000000 points a scan may have", ScanVar::check(0, 1e12, 1e-3));

    // A refused range leaves one point at the smaller bound.
    ScanVar zero(ScanVar::threshold, 10, 4, 0, 7);
    EXPECT_EQ(1, zero.n_points());
    EXPECT_DOUBLE_EQ(4, zero.last());
    ScanVar v(ScanVar::channel, 0, 10, 2, 0);
    EXPECT_FALSE(v.adjust(0, 100, -1));
    EXPECT_EQ(6, v.n_points());
    EXPECT_DOUBLE_EQ(2, v.step());
}

TEST(ScanVarTest, TextForms)
{
    ScanVar v(ScanVar::pulse, 2.5, 0.5, 0.5, 1);
    v.set_value(1.5);
    std::ostringstream line, printed;
    v.dump(line);
    printed << v;
    EXPECT_EQ("1 0.5 2.5 0.5 1 1.5\n", line.str());
    EXPECT_EQ("Type 1 n. points 5 from 0.5 step 0.5", printed.str());

    std::istringstream in("3 10 0 2 4 6\n  7");
    ScanVar back(ScanVar::channel, 0, 1, 1, 0);
    back.load(in);
    ASSERT_FALSE(in.fail());
    EXPECT_EQ(ScanVar::trim, back.type());
    EXPECT_EQ(6, back.n_points());
    EXPECT_DOUBLE_EQ(6, back.value());
    EXPECT_EQ('7', in.peek());

    // An unknown type, a refused step or a short line change nothing.
    for (const char* bad : {"16 0 1 1 0 0", "2 0 10 0 0 0", "2 0 10 -1 0 0", "2 0 10"}) {
        std::istringstream is(bad);
        ScanVar keep(ScanVar::cal_dac, 0, 8, 2, 1);
        keep.load(is);
        EXPECT_TRUE(is.fail()) << bad;
        EXPECT_EQ(ScanVar::cal_dac, keep.type());
        EXPECT_EQ(5, keep.n_points());
    }
}

TEST(ScanPointTest, OneVariablePerTypeAndCartesianExpansion)
{
    ScanPoint p("calib");
    EXPECT_EQ(1, p.npoints());
    p.add_var(ScanVar(ScanVar::channel, 0, 2, 1, 0));
    p.add_var(ScanVar(ScanVar::pulse, 1, 2, 1, 0));
    p.add_var(ScanVar(ScanVar::channel, 0, 1, 1, 0));   // replaces, keeps its place
    EXPECT_EQ("calib: 0/2/0/1/0 1/2/1/1/0", describe(p));
    EXPECT_EQ(4, p.npoints());
    p.remove_var(ScanVar::threshold);
    p.remove_var(ScanVar::pulse);
    EXPECT_EQ(p.end(), p.find_type(ScanVar::pulse));
    EXPECT_EQ(1, p.nvar());

    const ScanPoint::VarList vars{ScanVar(ScanVar::channel, 0, 1, 1, 0),
                                  ScanVar(ScanVar::pulse, 1, 3, 1, 0)};
    std::vector<ScanPoint> list;
    EXPECT_FALSE(ScanPoint::FillList(vars.begin(), vars.end(), ScanPoint(vars), list));
    std::vector<std::string> got;
    for (const ScanPoint& q : list)
        got.push_back(describe(q));
    EXPECT_EQ((std::vector<std::string>{": 0/2/0/1/0 1/3/1/1/1", ": 0/2/0/1/0 1/3/1/1/2",
                                        ": 0/2/0/1/0 1/3/1/1/3", ": 0/2/0/1/1 1/3/1/1/1",
                                        ": 0/2/0/1/1 1/3/1/1/2", ": 0/2/0/1/1 1/3/1/1/3"}),
              got);

    // Values are first + i * step; a start point without the variables
    // gets them added.
    const ScanPoint::VarList fine{ScanVar(ScanVar::xposition, 0.1, 1.0, 0.1, 0)};
    list.clear();
    ScanPoint::FillList(fine.begin(), fine.end(), ScanPoint("named"), list);
    ASSERT_EQ(10u, list.size());
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(0.1 + i * 0.1, list[i]().at(0).value());
    EXPECT_EQ("named", list[9].get_name());
}

TEST(ScanPointTest, TextRoundTripsAndBadTextChangesNothing)
{
    ScanPoint p("calib");
    p.add_var(ScanVar(ScanVar::channel, 0, 127, 1, 0));
    p.add_var(ScanVar(ScanVar::pulse, 0.5, 2.5, 0.5, 1));
    EXPECT_EQ("2 calib\n0 0 127 1 0 0\n1 0.5 2.5 0.5 1 1\n", dumped(p));
    std::ostringstream printed;
    printed << p;
    EXPECT_EQ("Type 0 n. points 128 from 0 step 1\nType 1 n. points 5 from 0.5 step 0.5\n",
              printed.str());

    // The empty name, names with blanks and points without variables too.
    for (const char* name : {"calib", "", "two words"}) {
        ScanPoint q(p);
        q.set_name(name);
        std::istringstream is(dumped(q) + dumped(ScanPoint("idle")));
        ScanPoint r("other"), idle;
        EXPECT_TRUE(r.load(is));
        EXPECT_EQ(describe(q), describe(r));
        EXPECT_TRUE(idle.load(is));
        EXPECT_EQ("idle:", describe(idle));
        EXPECT_FALSE(idle.load(is));   // end of input
        EXPECT_FALSE(is.fail());
    }

    const std::string before = describe(p);
    const std::string out = testutil::capture_stdout([&] {
        std::istringstream ends("2 calib\n");
        EXPECT_FALSE(p.load(ends));
    });
    EXPECT_EQ("Wrong syntax in ScanPoint input stream\n", out);
    for (const char* bad : {"x calib\n", "-1 calib\n", "2 calib\n0 0 1 1 0 0\n"}) {
        std::istringstream is(bad);
        EXPECT_FALSE(p.load(is)) << bad;
        EXPECT_TRUE(is.fail()) << bad;
    }
    EXPECT_EQ(before, describe(p));
}

TEST(ScanListTest, ScansByNameAndParametersOfTheirText)
{
    ScanPoint a("alpha"), b("beta"), nameless;
    a.add_var(ScanVar(ScanVar::channel, 0, 3, 1, 0));
    b.add_var(ScanVar(ScanVar::threshold, 0, 100, 10, 0));
    nameless.add_var(ScanVar(ScanVar::trim, 0, 15, 5, 0));
    ScanList list;
    list.add_point("beta", a);
    list.add_point("beta", b);   // replaces
    list.add_point("alpha", a);
    list.add_point("", nameless);   // sorts first and must not end a reading
    list.remove_point("gamma");
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ("", list.begin()->first);
    std::ostringstream os;
    list.dump(os);
    EXPECT_EQ(dumped(nameless) + dumped(a) + dumped(b), os.str());

    ParScanList lpar(list), lcopy;
    EXPECT_TRUE(lcopy.set_from_string(lpar.get_as_string()));
    ASSERT_EQ(3u, lcopy.get_value().size());
    EXPECT_EQ(describe(b), describe(lcopy.get_value().find("beta")->second));
    EXPECT_FALSE(lcopy.set_from_string(dumped(a) + "1 broken\n0 0 1 0 0 0\n"));
    EXPECT_EQ(3u, lcopy.get_value().size());
    EXPECT_TRUE(lcopy.set_from_string(""));
    EXPECT_EQ(0u, lcopy.get_value().size());

    // A point parameter notifies with the value it read; plain parameters of
    // these types have no text form.
    struct Seen : Ostrel::Observer {
        void update(Ostrel::Observable*, Ostrel::Argument* arg) override
        {
            if (auto* v = dynamic_cast<Ostrel::Arg<ScanPoint>*>(arg))
                names.push_back(v->get_value().get_name());
        }
        std::vector<std::string> names;
    } seen;
    Ostrel::ParameterHolder holder;
    ParScanPoint* par = new ParScanPoint(a);
    holder.add_par("scanpoint", par);
    par->addObserver(&seen);
    EXPECT_EQ(dumped(a), par->get_as_string());
    EXPECT_TRUE(holder.get_par("scanpoint")->set_from_string(dumped(b)));
    EXPECT_EQ("beta", holder.get_par_value<ScanPoint>("scanpoint").get_name());
    for (const char* bad : {"", "junk", "1 calib\n", "0 a\ntrailing"})
        EXPECT_FALSE(par->set_from_string(bad)) << bad;
    EXPECT_TRUE(par->set_from_string(dumped(nameless), false));
    EXPECT_EQ(describe(nameless), describe(par->get_value()));
    EXPECT_EQ((std::vector<std::string>{"beta"}), seen.names);
    par->removeObserver(&seen);
    EXPECT_EQ(".oOo.", Ostrel::Par<ScanPoint>(a).get_as_string());
    EXPECT_FALSE(Ostrel::Par<ScanList>().set_from_string(""));
}
