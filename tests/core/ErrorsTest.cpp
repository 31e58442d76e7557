#include "SensorLib.h"

#include <gtest/gtest.h>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Util::String::CBadConversion;

TEST(Vkr25Error, KnownCodesIncludingTheSwappedPair) {
    EXPECT_EQ(CVkr25Error("E15").getCode(), 15);
    EXPECT_EQ(CVkr25Error("E23").getCode(), 24);
    EXPECT_EQ(CVkr25Error("E24").getCode(), 23);
    EXPECT_EQ(CVkr25Error("E61").getCode(), 61);
    EXPECT_EQ(CVkr25Error("E64").getCode(), 64);
    const CVkr25Error error("E31");
    EXPECT_TRUE(error.getMessage().empty());
    EXPECT_TRUE(error.getPlace().empty());
}

TEST(Vkr25Error, UnknownTextsGiveMinusOneAndNeverGrowTheTable) {
    for (const char* text : {"E19", "e15", "E1", "", "E150", " E15", "E15 "})
        EXPECT_EQ(CVkr25Error(text).getCode(), -1) << '"' << text << '"';
    EXPECT_EQ(vkr25ErrorCodeCount(), 16u);
}

TEST(Vkr25Error, ErrorReplyLooksAtTheFirstThreeCharactersOnly) {
    EXPECT_TRUE(CVkr25Error::isErrorReply("E15\r\n"));
    EXPECT_TRUE(CVkr25Error::isErrorReply("E62"));
    EXPECT_FALSE(CVkr25Error::isErrorReply("E1"));
    EXPECT_FALSE(CVkr25Error::isErrorReply("0012345\r\n"));
    EXPECT_FALSE(CVkr25Error::isErrorReply(""));
}

TEST(Vkr25Error, InitIsIdempotent) {
    initVkr25ErrorCodes();
    initVkr25ErrorCodes();
    EXPECT_EQ(vkr25ErrorCodeCount(), 16u);
}

TEST(LibraryErrors, CarryCodeMessageAndPlace) {
    const CSensorError sensorError(5);
    EXPECT_EQ(sensorError.getCode(), 5);
    EXPECT_TRUE(sensorError.getMessage().empty());
    EXPECT_TRUE(sensorError.getPlace().empty());

    const CInterfaceError interfaceError(10061, "Connection refused",
                                         "CTcpInterface::WSocketSessionConnected_");
    EXPECT_EQ(interfaceError.getCode(), 10061);
    EXPECT_EQ(interfaceError.getMessage(), "Connection refused");
    EXPECT_EQ(interfaceError.getPlace(), "CTcpInterface::WSocketSessionConnected_");

    const CSensorLibError& base = interfaceError;
    EXPECT_EQ(base.getCode(), 10061);
}

TEST(BadConversion, MessageIsTheTextCutAt255) {
    const std::string longText(300, 'x');
    const CBadConversion error(longText);
    EXPECT_EQ(std::string(error.what()), longText.substr(0, 255));

    const CBadConversion copy(error);
    EXPECT_EQ(std::string(copy.what()), longText.substr(0, 255));

    const CBadConversion exact(std::string(255, 'y'));
    EXPECT_EQ(std::string(exact.what()).size(), 255u);

    try {
        throw CBadConversion("1.5x");
    } catch (const std::runtime_error& caught) {
        EXPECT_STREQ(caught.what(), "1.5x");
    }
}

TEST(BadConversion, KeepsEmbeddedTextUpToTheFirstNul) {
    const CBadConversion error(std::string("ab\0cd", 5));
    EXPECT_STREQ(error.what(), "ab");
}
