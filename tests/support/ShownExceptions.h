#pragma once

#include "Application.h"

#include <exception>
#include <string>
#include <vector>

namespace TestSupport {

// Collects the texts of what the application's exception handling shows while it
// lives (bound to OnException, unbound again at the end, also when a test fails).
class ShownExceptions {
public:
    ShownExceptions() {
        NorvEngineering::Platform::Application().OnException = [this](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                m_texts_.emplace_back(e.what());
            } catch (...) {
                m_texts_.emplace_back("(not a std::exception)");
            }
        };
    }
    ~ShownExceptions() { NorvEngineering::Platform::Application().OnException = nullptr; }
    ShownExceptions(const ShownExceptions&) = delete;
    ShownExceptions& operator=(const ShownExceptions&) = delete;

    const std::vector<std::string>& texts() const { return m_texts_; }

private:
    std::vector<std::string> m_texts_;
};

} // namespace TestSupport
