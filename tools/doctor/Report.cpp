#include "Report.h"

namespace p11bridge::doctor {
namespace {

std::string Count(int n, const char* what) {
    return (n == 0 ? std::string("no") : std::to_string(n)) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

void Report::Ok(const std::string& text) {
    out_ << "ok: " << text << '\n';
}

void Report::Warning(const std::string& text) {
    ++warnings_;
    out_ << "warning: " << text << '\n';
}

void Report::Problem(const std::string& text) {
    ++problems_;
    out_ << "problem: " << text << '\n';
}

void Report::Detail(const std::string& text) {
    out_ << "    " << text << '\n';
}

void Report::Summary() {
    out_ << "\nSummary: " << Count(problems_, "problem") << ", " << Count(warnings_, "warning")
         << ".\n";
    out_.flush();
}

}  // namespace p11bridge::doctor
