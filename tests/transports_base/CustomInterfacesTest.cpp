#include "CustomInterfaces.h"

#include <gtest/gtest.h>

#include <string>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::TStrings;

namespace {

class ProbeInterface : public CCustomInterface {
public:
    ProbeInterface(EInterfaceType kind, bool sync) : CCustomInterface(kind, sync) {}
    void write(const char*, int) override {}
    void initInterface_() override {}
    void releaseInterface() override {}
    void setSyncEvents(bool sync) override {
        ++overrideCalls;
        CCustomInterface::setSyncEvents(sync);
    }
    int overrideCalls = 0;
};

// Every rate's name is its value in decimal; lookups are exact.
TEST(BaudRateNames, NamesRoundTripAndLookupIsExact) {
    for (const char* text : {"9600 ", " 9600", "09600", "", "fast", "9600.0"})
        EXPECT_EQ(baudRateFromName(text), brDefault) << '"' << text << '"';
    EXPECT_EQ(baudRateName(brDefault), "");
    EXPECT_EQ(baudRateName(brCustom), "");
    for (int ordinal = br50; ordinal <= br256000; ++ordinal) {
        const auto rate = static_cast<TBaudRate>(ordinal);
        EXPECT_EQ(baudRateFromName(baudRateName(rate)), rate);
        EXPECT_EQ(baudRateName(rate), std::to_string(NorvEngineering::Serial::baudRateValue(rate)));
    }
}

TEST(BaudRateNames, FillReplacesTheListInRateOrder) {
    TStrings list;
    list.Add("stale");
    baudRateName(brCustom); // a failed lookup adds nothing to the tables
    baudRateFromName("nope");
    fillBaudRateNames(&list);
    ASSERT_EQ(list.Count(), 25u);
    EXPECT_EQ(list[0], "50");
    EXPECT_EQ(list[13], "9600");
    EXPECT_EQ(list[24], "256000");
    EXPECT_EQ(list.IndexOf("stale"), -1);
    fillBaudRateNames(nullptr);
    createBaudRateMaps(); // already built: nothing changes
    fillBaudRateNames(&list);
    EXPECT_EQ(list.Count(), 25u);
}

TEST(TransportBase, ConstructorStoresTheFlagWithoutTheOverride) {
    ProbeInterface tcp(CSensorInterface::itTcpSocket, false);
    ProbeInterface serial(CSensorInterface::itSerial, true);
    EXPECT_FALSE(tcp.getSyncEvents());
    EXPECT_TRUE(serial.getSyncEvents());
    EXPECT_EQ(tcp.overrideCalls, 0);
    EXPECT_EQ(tcp.getInterfaceType(), CSensorInterface::itTcpSocket);
    EXPECT_EQ(serial.getInterfaceType(), CSensorInterface::itSerial);
    tcp.setSyncEvents(true);
    EXPECT_TRUE(tcp.getSyncEvents());
    EXPECT_EQ(tcp.overrideCalls, 1);
}

// The settings store keeps these ordinals and sizes.
static_assert(br9600 == 14 && brCustom == 26 && db8 == 5 && sb2 == 3 && paSpace == 5);
static_assert(sizeof(TBaudRate) == 1 && sizeof(TDataBits) == 1 && sizeof(TStopBits) == 1 &&
              sizeof(TParity) == 1);

} // namespace
