// Behaviour that differs from a literal reading of the protocol notes because the
// literal reading loses data, reports something false or leaves the driver stuck;
// the same for every driver of the family.

#include "FamilyRig.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Vkr25Family;
using NorvEngineering::SensorLib::CSensor;

template <class Traits>
class Vkr25FamilyMendedFaults : public ::testing::Test {};
TYPED_TEST_SUITE(Vkr25FamilyMendedFaults, FamilyDrivers, FamilyDriverNames);

TYPED_TEST(Vkr25FamilyMendedFaults, DumpWithoutAutostartLeavesAReadyDriverUsable) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.beginDump();
    rig.feed(dumpWithout(TypeParam::kDump, "[AS]"));
    EXPECT_EQ(rig.config().getAutostartMode(), D::lmNone);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.state(), "ESC after PA, queue, wrote ");
    rig.driver.setMode(D::lmDT);
    EXPECT_EQ(rig.state(), "DT after ESC, queue DT, wrote <DT><\r>");
}

TYPED_TEST(Vkr25FamilyMendedFaults, ErrorRepliesToTemperatureAndParametersAreErrorsNotValues) {
    using D = typename TypeParam::Driver;
    // Read as a value, "E15" would store a part of the code ("5", "15", '5', "5\r").
    for (int head = D::lmTP; head <= D::lmSO; ++head) {
        Rig<TypeParam> rig;
        rig.run({modeOf<TypeParam>(head), D::lmDM}, 'h');
        rig.driver.setTemperature(-3.0);
        rig.feed("E15\r\n");
        EXPECT_EQ(rig.snapshot(),
                  "DM after ESC, queue DM, wrote <DM><\r> | distance  0 | temperature  -3 | errors 15 "
                  "| changed  | trace E15\r\n")
            << head;
        EXPECT_EQ(rig.sink.calls, (Writes{"sensorError", "mode", "mode", "update"})) << head;
    }
}

TYPED_TEST(Vkr25FamilyMendedFaults, HexadecimalLineWithoutDigitsIsAFailedReadingNotZero) {
    using D = typename TypeParam::Driver;
    Rig<TypeParam> rig;
    rig.run({D::lmDT}, 'h');
    rig.feed("x0001000\r\n");
    // The text is kept as received, the distance stays.
    for (const std::string line : {"\n", "\r\n", "x\r\n", "x      \r\n", "xZZZZZZZ\r\n"}) {
        rig.forget();
        rig.feed(line);
        EXPECT_EQ(rig.snapshot(), "DT after none, queue DT, wrote  | distance " + line.substr(1, 7) +
                                      " 4.096 | temperature  0 | errors | changed  | trace " + line);
    }
}

TYPED_TEST(Vkr25FamilyMendedFaults, RejectedIdentificationIsTracedAndLaterLinesGoOn) {
    const std::string model = TypeParam::kModel;
    const std::string previous = model + ",1,1.1";
    // A line that is no identity at all is marked as such; one whose version part is
    // no number is an unreadable reply like any other, traced as it came.
    const std::pair<const char*, bool> cases[] = {
        {" without fields", true}, {",SN,V 1.23", true}, {",SN,V7.03", true}, {",123,V x.1", true},
        {",123,Vx.1", true},       {",1,2,3", true},     {",123,V 1", false}, {",123,V7", false},
        {",123,V7.x", false},      {",123,V1y.2", false}};
    for (const auto& [fields, marked] : cases) {
        const std::string bad = model + fields + "\r\n";
        Rig<TypeParam> rig;
        rig.driver.initialize();
        rig.config().setIdentification(previous);
        rig.forget();
        rig.feed(bad + kPromptLine + TypeParam::kDump);
        ASSERT_GE(rig.sink.updates.size(), 2U);
        EXPECT_EQ(rig.sink.updates[0], marked ? idTrace<TypeParam>("/BAD ID STRING", bad) : bad);
        EXPECT_EQ(rig.sink.updates[1], idTrace<TypeParam>("/FOUND PR STRING", kPromptLine));
        // One update a line: the two above and the whole dump.
        EXPECT_EQ(rig.sink.dataUpdates, 2 + static_cast<int>(dumpLines(TypeParam::kDump).size())) << bad;
        EXPECT_EQ(rig.sink.sensorReady, 1) << bad;
        EXPECT_TRUE(rig.sink.sensorErrors.empty()) << bad;
        EXPECT_EQ(rig.config().getVersionInfo(), nullptr) << bad;
        EXPECT_EQ(rig.config().getIdentification(), previous) << bad;
    }
}

TYPED_TEST(Vkr25FamilyMendedFaults, UnreadableOffsetStillEndsTheDump) {
    Rig<TypeParam> rig;
    rig.beginDump();
    rig.feed(dumpWithout(TypeParam::kDump, "[OF]") + "[OF] Offset.......0,25\r\n");
    EXPECT_EQ(rig.sink.updates.back(), "[OF] Offset.......0,25\r\n");
    EXPECT_EQ(rig.config().getStrOffset(), "0,25");
    EXPECT_EQ(rig.config().getOffset(), 0.0);
    EXPECT_EQ(rig.sink.sensorReady, 1);
    EXPECT_EQ(rig.state(), "DT after ESC, queue DT, wrote <DT><\r>");
}

TYPED_TEST(Vkr25FamilyMendedFaults, SinkThatEmptiesTheQueueOnReadyDoesNotLoseTheNextCommand) {
    using D = typename TypeParam::Driver;
    // An owner that stops the auto-start mode and asks for something else as soon as
    // the sensor is ready: the end of the dump must not drop that new command.
    struct StoppingSink : TestSupport::RecordingSink {
        D* driver = nullptr;
        void onSensorReady(CSensor* sensor) override {
            RecordingSink::onSensorReady(sensor);
            driver->setMode(D::lmEscaped);
            driver->setMode(D::lmTP);
        }
    };
    StoppingSink sink;
    TestSupport::FakeInterface iface;
    D driver(&sink);
    sink.driver = &driver;
    driver.setInterface(&iface);
    driver.initialize();
    iface.deliver(TypeParam::kIdLine + kPromptLine);
    iface.writes.clear();
    iface.deliver(TypeParam::kDump);
    EXPECT_EQ(iface.writes, (Writes{"\x1B", "TP", "\r"}));
    ASSERT_EQ(driver.getQueue().size(), 1U);
    EXPECT_EQ(driver.getQueue().front().getId(), D::lmTP);
    iface.deliver("+21\r\n");
    EXPECT_EQ(driver.getTemperature(), 21.0);
}

TYPED_TEST(Vkr25FamilyMendedFaults, OverlongLineGivesNoValueHoweverTheChunksSplitIt) {
    using D = typename TypeParam::Driver;
    // The distance the owner sees at every update.
    struct DistanceSink : TestSupport::RecordingSink {
        D* driver = nullptr;
        Writes seen;
        void onDataUpdate(CSensor* sensor, const std::string& text) override {
            RecordingSink::onDataUpdate(sensor, text);
            seen.push_back(driver->getStrDistance());
        }
    };
    DistanceSink sink;
    TestSupport::FakeInterface iface;
    D driver(&sink);
    sink.driver = &driver;
    driver.setInterface(&iface);
    driver.setActive(1);
    TypeParam::config(driver).setDisplayFormat('d');
    driver.setMode(D::lmDT);
    // Wherever a chunk cuts into it, its tail would read as a distance.
    std::string overlong;
    while (overlong.size() < 5000)
        overlong += "2345678.000 ";
    const std::string stream = "001.234\r\n" + overlong + "\r\n005.678\r\n";
    const Writes expected = {"001.234", "005.678"};
    for (std::size_t split = 1; split < stream.size(); ++split) {
        sink.seen.clear();
        iface.deliver(stream.substr(0, split));
        iface.deliver(stream.substr(split));
        ASSERT_EQ(sink.seen, expected) << "split at " << split;
    }
    for (std::size_t size = 1; size < stream.size(); ++size) {
        sink.seen.clear();
        for (std::size_t at = 0; at < stream.size(); at += size)
            iface.deliver(stream.substr(at, size));
        ASSERT_EQ(sink.seen, expected) << "chunks of " << size;
    }
}
