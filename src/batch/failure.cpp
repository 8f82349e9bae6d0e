#include "batch/failure.hpp"

#include <cstdlib>
#include <exception>
#include <string>

namespace refsieve {
namespace {

// A source file's path from the project's src/ directory on, so that a
// report names the same file wherever the module was built.
std::string_view source_path(std::string_view file) {
    const std::size_t src = file.rfind("src/");
    return src == std::string_view::npos ? file : file.substr(src);
}

}  // namespace

void report(const InternalFailure& failure) noexcept {
    try {
        write_report("refsieve: internal failure at " + std::string(source_path(failure.file)) + ":" +
                     std::to_string(failure.line) + ": " + failure.message.value_or("(no message)"));
    } catch (...) {
        write_report("refsieve: internal failure (no memory left to describe it)");
    }
}

void fail(std::string message, const char* file, unsigned line) {
    InternalFailure failure{std::move(message), file, line};
    report(failure);
    throw failure;
}

InternalFailure failure_from_current_exception(std::optional<std::string> unnamed, const char* file, unsigned line) {
    InternalFailure failure{std::move(unnamed), file, line};
    try {
        throw;
    } catch (const InternalFailure& raised) {
        return raised;  // reported where it was raised
    } catch (const std::exception& e) {
        failure.message = e.what();
    } catch (...) {
    }
    report(failure);
    return failure;
}

void abort_with_report(std::string_view line) noexcept {
    write_report(line);
    std::abort();
}

void abort_out_of_memory() noexcept { abort_with_report("refsieve: memory allocation failed"); }

}  // namespace refsieve
