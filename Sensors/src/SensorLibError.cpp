#include "SensorLibError.h"

#include "GuardedTable.h"

#include <array>
#include <map>

namespace NorvEngineering::SensorLib {

namespace {

using ErrorCodeMap = std::map<std::string, int32_t>;

// E23 and E24 deliberately carry each other's numbers: owners match on the
// numbers, so they must stay exactly as they have always been reported.
constexpr std::pair<const char*, int32_t> kCodes[] = {
    {"E15", 15}, {"E16", 16}, {"E17", 17}, {"E18", 18}, {"E23", 24}, {"E24", 23}, {"E31", 31}, {"E51", 51},
    {"E52", 52}, {"E53", 53}, {"E54", 54}, {"E55", 55}, {"E61", 61}, {"E62", 62}, {"E63", 63}, {"E64", 64},
};

// The characters a code begins with: every measurement line is asked whether it
// is an error reply, and almost none begins like one.
constexpr std::array<bool, 256> kCodeStarts = [] {
    std::array<bool, 256> starts{};
    for (const auto& [text, code] : kCodes)
        starts[static_cast<unsigned char>(text[0])] = true;
    return starts;
}();

void fillErrorCodes(ErrorCodeMap& map) {
    for (const auto& [text, code] : kCodes)
        map[text] = code;
}

constinit Util::GuardedTable<ErrorCodeMap> g_errorCodes(&fillErrorCodes);
const Util::GuardedTableLifetime<ErrorCodeMap> g_errorCodesLifetime(g_errorCodes);

} // namespace

void initVkr25ErrorCodes() {
    g_errorCodes.init();
}
void releaseVkr25ErrorCodes() {
    g_errorCodes.release();
}
std::size_t vkr25ErrorCodeCount() {
    return g_errorCodes.get().size();
}

CSensorLibError::CSensorLibError(int32_t code, const std::string& message, const std::string& place)
    : m_code_(code), m_message_(message), m_place_(place) {}
CSensorLibError::~CSensorLibError() = default;

CSensorError::CSensorError(int32_t code) : CSensorLibError(code, std::string(), std::string()) {}
CSensorError::~CSensorError() = default;

CInterfaceError::CInterfaceError(int32_t code, const std::string& message, const std::string& place)
    : CSensorLibError(code, message, place) {}
CInterfaceError::~CInterfaceError() = default;

namespace {
int32_t lookupErrorCode(const std::string& codeText) {
    const ErrorCodeMap& table = g_errorCodes.get();
    const auto found = table.find(codeText);
    return found == table.end() ? -1 : found->second;
}
} // namespace

CVkr25Error::CVkr25Error(const std::string& codeText) : CSensorError(lookupErrorCode(codeText)) {}
CVkr25Error::~CVkr25Error() = default;

bool CVkr25Error::isErrorReply(const std::string& reply) {
    if (reply.empty() || !kCodeStarts[static_cast<unsigned char>(reply[0])])
        return false;
    return lookupErrorCode(reply.substr(0, 3)) != -1;
}

} // namespace NorvEngineering::SensorLib
