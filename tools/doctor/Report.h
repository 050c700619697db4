// The doctor's verdicts, one per line: ok, warning or problem, each in plain words and with what
// to do. Lines indented under a verdict show what it looked at. Control characters, backslashes
// and bytes that are not UTF-8 are shown escaped (\x1b), whoever wrote the text.
#pragma once

#include <ostream>
#include <string>

namespace p11bridge::doctor {

class Report {
public:
    explicit Report(std::ostream& out) : out_(out) {}

    void Ok(const std::string& text);
    // Something the user may not expect, that does not stop the host from working.
    void Warning(const std::string& text);
    // Something that stops the browser, the host or the token from working.
    void Problem(const std::string& text);
    void Detail(const std::string& text);
    // The closing count of warnings and problems.
    void Summary();

    int Problems() const { return problems_; }
    int Warnings() const { return warnings_; }

private:
    std::ostream& out_;
    int problems_ = 0;
    int warnings_ = 0;
};

}  // namespace p11bridge::doctor
