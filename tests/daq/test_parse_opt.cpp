// The splitter of text commands.
#include <gtest/gtest.h>

#include "daq/ParseOpt.h"

TEST(ParseOptTest, CommandAndOptions)
{
    ParseOpt opt("logData|file=run:max_size=100");
    EXPECT_EQ("logData", opt.get_command());
    EXPECT_EQ("logData", opt());
    EXPECT_EQ("run", opt.find_opt("file", "none"));
    EXPECT_EQ("100", opt.find_opt("max_size", "0"));
    EXPECT_EQ("none", opt.find_opt("compression", "none"));
    EXPECT_EQ("none", opt.find_opt("File", "none"));
}

TEST(ParseOptTest, WithoutBarTheWholeTextIsOptions)
{
    ParseOpt plain("logData");
    EXPECT_EQ("", plain.get_command());
    EXPECT_EQ("-", plain.find_opt("logData", "-"));

    ParseOpt options("a=1:b=2");
    EXPECT_EQ("", options());
    EXPECT_EQ("1", options.find_opt("a", "-"));
    EXPECT_EQ("2", options.find_opt("b", "-"));
}

TEST(ParseOptTest, BlanksAroundCommandNamesAndValuesAreTrimmed)
{
    ParseOpt opt(" \tlogData \n| file = /tmp/run 1 :\tcompression=\t1\n");
    EXPECT_EQ("logData", opt());
    EXPECT_EQ("/tmp/run 1", opt.find_opt("file", "-"));
    EXPECT_EQ("1", opt.find_opt("compression", "-"));
    // A carriage return is not a blank.
    ParseOpt cr("cmd\r|a=b\r");
    EXPECT_EQ("cmd\r", cr());
    EXPECT_EQ("b\r", cr.find_opt("a", "-"));
}

TEST(ParseOptTest, FirstValueWinsAndOddPiecesAreSkipped)
{
    ParseOpt opt("set|a=1:noequals::b=x=y:a=2:=empty:c=|rest");
    EXPECT_EQ("set", opt());
    EXPECT_EQ("1", opt.find_opt("a", "-"));
    EXPECT_EQ("x=y", opt.find_opt("b", "-"));
    EXPECT_EQ("-", opt.find_opt("noequals", "-"));
    EXPECT_EQ("empty", opt.find_opt("", "-"));
    // Only the first bar separates the command.
    EXPECT_EQ("|rest", opt.find_opt("c", "-"));
}
