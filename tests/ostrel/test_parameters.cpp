// Identifiers, parameters, observers and exceptions of the framework.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrel/Ostrel.h"

using namespace Ostrel;

namespace {

struct Recorder : Observer {
    std::vector<int> values;
    int calls = 0;
    void update(Observable*, Argument* a) override
    {
        ++calls;
        if (auto* v = dynamic_cast<Arg<int>*>(a))
            values.push_back(v->get_value());
    }
};

struct Holder : ParameterCollection<Holder> {
    std::vector<std::string> seen;
    void on_text(const std::string& s) { seen.push_back(s); }
};

} // namespace

TEST(DAQid, TextAndNumbers)
{
    EXPECT_EQ(DAQid(42).str(), "42");
    EXPECT_EQ(DAQid(static_cast<unsigned short>(65535)).str(), "65535");
    EXPECT_EQ(DAQid(-1).str(), "-1");
    EXPECT_EQ(DAQid("0x10").to_int(), 16);
    EXPECT_EQ(DAQid("020").to_int(), 16);
    EXPECT_EQ(DAQid("16").to_int(), 16);
    EXPECT_EQ(DAQid("rm.71").to_int(), 0);
    EXPECT_FALSE(DAQid("12abc").is_number());
    EXPECT_EQ(DAQid("99999999999999999999").to_int(), 0);
    EXPECT_EQ(DAQid(231).to_ushort(), 231);
    // ordered by text, not by number
    EXPECT_TRUE(DAQid("10") < DAQid("9"));
    const std::string s = DAQid("main");
    EXPECT_EQ(s, "main");
}

TEST(Exception, MessagesLiveWithTheException)
{
    const char* text = nullptr;
    {
        ParameterNonExistent e("gain");
        text = e.what();
        EXPECT_NE(std::string(text).find("gain"), std::string::npos);
        EXPECT_EQ(e.name(), "gain");
        EXPECT_STREQ(e.what(), text);
    }
    EXPECT_STREQ(Exception().what(), "Ostrel::Exception");
    EXPECT_STREQ(Exception("boom").what(), "boom");
}

TEST(Parameter, DefaultsAndTextForms)
{
    Parameter plain;
    EXPECT_EQ(plain.get_name(), "unnamed");
    EXPECT_EQ(plain.get_id().str(), "???");
    EXPECT_EQ(plain.get_as_string(), "???");

    EXPECT_FALSE(plain.set_from_string("1"));

    Par<int> i(7);
    EXPECT_EQ(i.get_as_string(), "7");
    EXPECT_TRUE(i.set_from_string(" -12 ", false));
    EXPECT_EQ(i.get_value(), -12);
    // Texts that are no int leave the value alone and say so.
    for (const char* bad : {"abc", "12abc", "1.5", "", "99999999999", "0x10"})
        EXPECT_FALSE(i.set_from_string(bad, false)) << bad;
    EXPECT_EQ(i.get_value(), -12);
    Par<unsigned short> us(1);
    EXPECT_FALSE(us.set_from_string("-1", false));
    EXPECT_FALSE(us.set_from_string("65536", false));
    EXPECT_TRUE(us.set_from_string("+65535", false));
    EXPECT_EQ(us.get_value(), 65535);

    Par<double> d(0.1);
    EXPECT_EQ(d.get_as_string(), "0.1");
    EXPECT_TRUE(d.set_from_string("2.5e3", false));
    EXPECT_DOUBLE_EQ(d.get_value(), 2500.0);
    EXPECT_FALSE(d.set_from_string("nan", false));
    EXPECT_FALSE(d.set_from_string("1,5", false));
    EXPECT_DOUBLE_EQ(d.get_value(), 2500.0);

    Par<bool> b(false);
    b.set_from_string("TRUE", false);
    EXPECT_TRUE(b.get_value());
    EXPECT_EQ(b.get_as_string(), "true");

    Par<std::vector<double>> v(std::vector<double>{1, 2.5, -3});
    EXPECT_EQ(v.get_as_string(), "1 2.5 -3");
    EXPECT_TRUE(v.set_from_string("4 5", false));
    ASSERT_EQ(v.get_value().size(), 2u);
    EXPECT_DOUBLE_EQ(v.get_value()[1], 5.0);
    EXPECT_FALSE(v.set_from_string("6 x 7", false));   // all or nothing
    EXPECT_EQ(v.get_value().size(), 2u);

    struct Opaque {
        int x = 0;
    };
    Par<Opaque> o;
    EXPECT_EQ(o.get_as_string(), ".oOo.");
    EXPECT_FALSE(o.set_from_string("1", false));
    EXPECT_EQ(o.get_value().x, 0);
}

TEST(Parameter, NotifyCallsObserversOnlyWhenAsked)
{
    Par<int> p(1);
    Recorder r;
    p.addObserver(&r);
    p.set_value(5, false);
    EXPECT_EQ(r.calls, 0);
    EXPECT_EQ(p.get_value(), 5);
    p.set_value(6, true);
    ASSERT_EQ(r.values.size(), 1u);
    EXPECT_EQ(r.values[0], 6);
    p.set_from_string("9", true);
    EXPECT_EQ(r.values.back(), 9);
    p.removeObserver(&r);
}

TEST(Parameter, AValueAnObserverRefusesIsNotKept)
{
    // The owner observes first and refuses negative values; those who
    // observe after it never see one.
    Par<std::vector<int>> p({1, 2});
    struct Owner : Observer {
        void update(Observable*, Argument* a) override
        {
            auto* v = dynamic_cast<Arg<std::vector<int>>*>(a);
            if (v && !v->get_value().empty() && v->get_value()[0] < 0)
                throw ParameterRefused("no negative values");
        }
    } owner;
    Recorder after;
    p.addObserver(&owner);
    p.addObserver(&after);
    try {
        p.set_value({-1}, true);
        ADD_FAILURE() << "taken";
    } catch (const ParameterRefused& e) {
        EXPECT_EQ(e.reason(), "no negative values");
        EXPECT_STREQ(e.what(), "no negative values");
    }
    EXPECT_THROW(p.set_from_string("-3 4", true), ParameterRefused);
    EXPECT_EQ(p.get_value(), (std::vector<int>{1, 2}));
    EXPECT_EQ(after.calls, 0);
    EXPECT_FALSE(p.hasChanged());
    // A value set from the stored one itself.
    p.set_value(p.get_value(), true);
    p.set_value({7}, true);
    EXPECT_EQ(p.get_value(), std::vector<int>{7});
    EXPECT_EQ(after.calls, 2);
}

TEST(ParameterHolder, ReplaceTypeMismatchAndMissing)
{
    ParameterHolder h;
    Par<int>* first = new Par<int>(1);
    h.add_par("gain", first, DAQid("mod"));
    EXPECT_EQ(first->get_name(), "gain");
    EXPECT_EQ(first->get_id().str(), "mod");
    EXPECT_EQ(h.get_par_value<int>("gain"), 1);

    // A second parameter under the same name replaces the first; the first
    // stays valid for whoever still holds it.
    Par<int>* second = new Par<int>(2);
    h.add_par("gain", second);
    EXPECT_EQ(h.get_par("gain"), second);
    EXPECT_EQ(h.get_par_value<int>("gain"), 2);
    EXPECT_EQ(first->get_value(), 1);
    EXPECT_EQ(h.par_names(), std::vector<std::string>{"gain"});

    h.add_par("label", new Par<std::string>("x"));
    EXPECT_THROW(h.get_par_value<bool>("label"), ParameterTypeDoesNotMatch);
    EXPECT_THROW(h.set_par<int>("label", 3), ParameterTypeDoesNotMatch);
    EXPECT_THROW(h.get_par_value<int>("nope"), ParameterNonExistent);
    EXPECT_THROW(h.set_par<int>("nope", 1), ParameterNonExistent);
    try {
        h.set_par<double>("gain", 1.0);
        FAIL();
    } catch (const ParameterTypeDoesNotMatch& e) {
        EXPECT_EQ(e.name(), "gain");
    }

    h.set_par("label", "text");   // C string to a text parameter
    EXPECT_EQ(h.get_par_value<std::string>("label"), "text");
    EXPECT_TRUE(h.has_par("label"));
    EXPECT_FALSE(h.has_par("Label"));
}

TEST(ParameterHolder, DaqObjectNamesItselfOwner)
{
    struct Obj : DAQObject {
        Obj() : DAQObject("42") {}
    } o;
    Parameter* p = o.add_par("x", new Par<int>(0));
    EXPECT_EQ(p->get_id().str(), "42");
    int size = 99;
    char* data = reinterpret_cast<char*>(&size);
    EXPECT_EQ(o.get_monitor_data(size, &data), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(data, nullptr);
}

TEST(ParameterObserver, CallsMemberAndMoves)
{
    Par<std::string> a("a"), b("b");
    Holder h;
    h.new_par(&Holder::on_text, &a);
    a.set_value("one");
    a.set_value("silent", false);
    EXPECT_EQ(h.seen, std::vector<std::string>{"one"});

    ParameterObserver<std::string, Holder> obs(&h, &Holder::on_text, &a);
    obs.set_par(&b);
    EXPECT_FALSE(a.hasObserver(&obs));
    b.set_value("two");
    EXPECT_EQ(h.seen.back(), "two");
}

TEST(ParameterObserver, SurvivesItsParameter)
{
    Holder h;
    auto* p = new Par<std::string>("x");
    ParameterObserver<std::string, Holder> obs(&h, &Holder::on_text, p);
    delete p;   // the observer forgets it instead of pointing at freed memory
    EXPECT_EQ(obs.get_par(), nullptr);
}

TEST(Observable, WalkSkipsObserversRemovedDuringIt)
{
    Observable o;
    Recorder a, b;
    struct Remover : Observer {
        Observable* from = nullptr;
        Observer* victim = nullptr;
        void update(Observable*, Argument*) override { from->removeObserver(victim); }
    } rm;
    rm.from = &o;
    rm.victim = &b;
    o.addObserver(&a);
    o.addObserver(&rm);
    o.addObserver(&b);
    o.addObserver(&a);   // held once
    EXPECT_EQ(o.countObservers(), 3);
    Arg<int> arg(1);
    o.notifyObservers(&arg);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(b.calls, 0);
    EXPECT_FALSE(o.hasChanged());
}
