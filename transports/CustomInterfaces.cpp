#include "CustomInterfaces.h"

#include "GuardedTable.h"

#include <map>
#include <utility>

namespace NorvEngineering::SensorLib {

namespace {

using NameToRateMap = std::map<std::string, TBaudRate>;
using RateToNameMap = std::map<TBaudRate, std::string>;

constexpr std::pair<TBaudRate, const char*> kBaudRateNames[] = {
    {br50, "50"},       {br75, "75"},       {br110, "110"},       {br150, "150"},       {br300, "300"},
    {br600, "600"},     {br1200, "1200"},   {br1800, "1800"},     {br2000, "2000"},     {br2400, "2400"},
    {br3600, "3600"},   {br4800, "4800"},   {br7200, "7200"},     {br9600, "9600"},     {br10400, "10400"},
    {br14400, "14400"}, {br15625, "15625"}, {br19200, "19200"},   {br28800, "28800"},   {br38400, "38400"},
    {br56000, "56000"}, {br57600, "57600"}, {br115200, "115200"}, {br128000, "128000"}, {br256000, "256000"},
};

void fillNameToRate(NameToRateMap& map) {
    for (const auto& [rate, name] : kBaudRateNames)
        map.emplace(name, rate);
}

void fillRateToName(RateToNameMap& map) {
    for (const auto& [rate, name] : kBaudRateNames)
        map.emplace(rate, name);
}

// The name table is built first, as the dialogs have always relied on.
constinit Util::GuardedTable<NameToRateMap> g_nameToRate(&fillNameToRate);
constinit Util::GuardedTable<RateToNameMap> g_rateToName(&fillRateToName);
const Util::GuardedTableLifetime<NameToRateMap> g_nameToRateLifetime(g_nameToRate);
const Util::GuardedTableLifetime<RateToNameMap> g_rateToNameLifetime(g_rateToName);

} // namespace

CCustomInterface::CCustomInterface(EInterfaceType kind, bool syncEvents) : CSensorInterface(kind) {
    // The base setter on purpose: a derived override is not ready to run yet.
    CCustomInterface::setSyncEvents(syncEvents);
}

CCustomInterface::~CCustomInterface() = default;

void CCustomInterface::setSyncEvents(bool sync) {
    m_bSyncEvents_.store(sync, std::memory_order_release);
}

void createBaudRateMaps() {
    g_nameToRate.init();
    g_rateToName.init();
}

void destroyBaudRateMaps() {
    g_nameToRate.release();
    g_rateToName.release();
}

void fillBaudRateNames(Platform::TStrings* list) {
    if (list == nullptr)
        return;
    list->Clear();
    for (const auto& [rate, name] : g_rateToName.get())
        list->Add(name);
}

TBaudRate baudRateFromName(const std::string& name) {
    const auto& table = g_nameToRate.get();
    const auto found = table.find(name);
    return found == table.end() ? brDefault : found->second;
}

std::string baudRateName(TBaudRate rate) {
    const auto& table = g_rateToName.get();
    const auto found = table.find(rate);
    return found == table.end() ? std::string() : found->second;
}

} // namespace NorvEngineering::SensorLib
