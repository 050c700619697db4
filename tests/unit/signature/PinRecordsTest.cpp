#include <gtest/gtest.h>

#include "UtilForTest.h"

namespace p11bridge::testing {
namespace {

class PinRecords : public ::testing::Test {
protected:
    void SetUp() override { gPines.clear(); }
    void TearDown() override { gPines.clear(); }
    // What a token refusing the PIN does to the record.
    static void Reject(const std::string& module) {
        gPines[module].invalid = true;
        gPines[module].retries++;
    }
    CoreUtil util;
};

TEST_F(PinRecords, EmptyMapAnswersNothingAndStaysEmpty) {
    EXPECT_FALSE(MissingPin());
    EXPECT_FALSE(InvalidPin());
    EXPECT_TRUE(util.MissingPines().empty());
    EXPECT_TRUE(util.InvalidPines().empty());
    EXPECT_EQ(util.InvalidPinRetries("any"), 0);
    EXPECT_TRUE(gPines.empty());
}

TEST_F(PinRecords, RejectedPinKeepsItsMarkUntilADifferentPinArrives) {
    util.SetPin("m", SecureString("1111"));
    EXPECT_FALSE(gPines["m"].invalid);
    Reject("m");
    util.SetPin("m", SecureString("1111"));
    EXPECT_TRUE(gPines["m"].invalid) << "the same refused PIN must not be presented again";
    EXPECT_EQ(util.InvalidPinRetries("m"), 1);
    util.SetPin("m", SecureString("2222"));
    EXPECT_FALSE(gPines["m"].invalid);
    EXPECT_EQ(gPines["m"].pin, SecureString("2222"));
    Reject("m");
    EXPECT_EQ(util.InvalidPinRetries("m"), 2) << "retries count across PINs and are never lowered";
}

TEST_F(PinRecords, QueriesListNamesInByteOrderAndSurviveTheUtility) {
    {
        CoreUtil first;
        gPines["b"] = PinInfoStruct{};
        first.SetPin("a", SecureString("1"));
        Reject("a");
        gPines["0"] = PinInfoStruct{};
    }
    CoreUtil second;
    EXPECT_TRUE(second.MissingPin());
    EXPECT_TRUE(second.InvalidPin());
    EXPECT_EQ(second.MissingPines(), (std::vector<std::string>{"0", "b"}));
    EXPECT_EQ(second.InvalidPines(), (std::vector<std::string>{"a"}));
}

}  // namespace
}  // namespace p11bridge::testing
