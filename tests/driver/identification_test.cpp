// Reading the instrument's versions from its identification answer.
#include <gtest/gtest.h>

#include "instrument/probe.h"
#include "shared/shared.h"

namespace {

class Identification : public ::testing::Test {
  protected:
    void SetUp() override { instrument_version = appl_version = dsp_version = 0; }
};

TEST_F(Identification, VersionFieldAfterTheFirstComma) {
    ASSERT_EQ(parse_identification("X,Y,20000620,20070215,20060504"), 0);
    EXPECT_EQ(instrument_version, 20000620);
    EXPECT_EQ(appl_version, 20070215);
    EXPECT_EQ(dsp_version, 20060504);
}

TEST_F(Identification, FirstFieldIsNeverExamined) {
    dsp_version = 77;
    ASSERT_EQ(parse_identification("20,X,19,20070215"), 0);
    EXPECT_EQ(instrument_version, 19);
    EXPECT_EQ(appl_version, 20070215);
    EXPECT_EQ(dsp_version, 77) << "no comma follows: kept its earlier value";
}

TEST_F(Identification, VersionAsLastFieldSetsOnlyIt) {
    ASSERT_EQ(parse_identification("K940,20000620"), 0);
    EXPECT_EQ(instrument_version, 20000620);
    EXPECT_EQ(appl_version, 0);
    EXPECT_EQ(dsp_version, 0);
}

TEST_F(Identification, OnlyTheTwoCharactersAfterACommaDecide) {
    // A blank hides a version field; atol reads the later fields past blanks.
    ASSERT_EQ(parse_identification("A, 20070215,19990101, 20070215,  42"), 0);
    EXPECT_EQ(instrument_version, 19990101);
    EXPECT_EQ(appl_version, 20070215);
    EXPECT_EQ(dsp_version, 42);
    ASSERT_EQ(parse_identification("A,20A,B"), 0);
    EXPECT_EQ(instrument_version, 20);
    EXPECT_EQ(appl_version, 0);
}

TEST_F(Identification, NoVersionField) {
    instrument_version = 5;
    EXPECT_EQ(parse_identification(""), -1);
    EXPECT_EQ(parse_identification("no commas at all"), -1);
    EXPECT_EQ(parse_identification("20000620,21,18,2"), -1);
    EXPECT_EQ(parse_identification("A,"), -1);
    EXPECT_EQ(parse_identification("A,2"), -1);
    EXPECT_EQ(instrument_version, 5);
}

} // namespace
