#include "CustomInterfaces.h"

#include <gtest/gtest.h>

#include <string>

using namespace NorvEngineering::SensorLib;
using NorvEngineering::Platform::TStrings;

namespace {

// Counts the calls of its override: a base constructor must not reach it.
class ProbeInterface : public CCustomInterface {
public:
    explicit ProbeInterface(bool sync) : CCustomInterface(itTcpSocket, sync) {}
    void write(const char*, int) override {}
    void initInterface_() override {}
    void releaseInterface() override {}
    void setSyncEvents(bool sync) override {
        ++overrideCalls;
        CCustomInterface::setSyncEvents(sync);
    }
    int overrideCalls = 0;
};

// Every rate's name is its value in decimal; lookups are exact, and a failed one
// adds nothing to the tables the list is filled from.
TEST(BaudRateNames, NamesRoundTripLookupIsExactAndTheListIsInRateOrder) {
    for (const char* text : {"9600 ", " 9600", "09600", "", "fast", "9600.0"})
        EXPECT_EQ(baudRateFromName(text), brDefault) << '"' << text << '"';
    EXPECT_EQ(baudRateName(brDefault), "");
    EXPECT_EQ(baudRateName(brCustom), "");
    for (int ordinal = br50; ordinal <= br256000; ++ordinal) {
        const auto rate = static_cast<TBaudRate>(ordinal);
        EXPECT_EQ(baudRateFromName(baudRateName(rate)), rate);
        EXPECT_EQ(baudRateName(rate), std::to_string(NorvEngineering::Serial::baudRateValue(rate)));
    }
    TStrings list;
    list.Add("stale");
    createBaudRateMaps(); // already built: nothing changes
    fillBaudRateNames(&list);
    fillBaudRateNames(nullptr);
    ASSERT_EQ(list.Count(), 25u);
    EXPECT_EQ(list[0] + " " + list[13] + " " + list[24], "50 9600 256000");
}

TEST(TransportBase, ConstructorStoresTheFlagWithoutTheOverride) {
    ProbeInterface tcp(false);
    EXPECT_TRUE(ProbeInterface(true).getSyncEvents());
    EXPECT_EQ(tcp.overrideCalls, 0);
    tcp.setSyncEvents(true);
    EXPECT_TRUE(tcp.getSyncEvents());
    EXPECT_EQ(tcp.overrideCalls, 1);
}

// The settings store keeps these ordinals and sizes.
static_assert(br9600 == 14 && brCustom == 26 && db8 == 5 && sb2 == 3 && paSpace == 5);
static_assert(sizeof(TBaudRate) == 1 && sizeof(TDataBits) == 1 && sizeof(TStopBits) == 1 &&
              sizeof(TParity) == 1);

} // namespace
