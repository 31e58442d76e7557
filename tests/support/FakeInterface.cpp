#include "FakeInterface.h"

namespace TestSupport {

FakeInterface::~FakeInterface() {
    releaseInterface();
}

std::string FakeInterface::written() const {
    std::string all;
    for (const auto& chunk : writes)
        all += chunk;
    return all;
}

} // namespace TestSupport
