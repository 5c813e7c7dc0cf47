#pragma once

// Writes one program element as a single line "<Tag Nr="..." a="..." ... Descr="..." />\n",
// the form the loader reads back. Each value is formatted on its own into a buffer that
// always holds it, numbers in the shortest form that reads back as the same value, and
// texts (conditions, variable names) are streamed escaped, so no line is ever cut short
// into broken XML however long a condition is.

#include "core/XmlNumber.h"
#include "program/Command.h"

#include <cstdio>
#include <ostream>
#include <string>

namespace ElementWriter {

// Attribute text with the XML specials as entities. Tab, line feed and carriage return
// are written as character references so that a reader does not fold them into blanks;
// other control characters cannot stand in an XML 1.0 document at all and become blanks.
inline std::string EscapeAttribute(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (const char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            case '\t': out += "&#9;"; break;
            case '\n': out += "&#10;"; break;
            case '\r': out += "&#13;"; break;
            default:
                out += static_cast<unsigned char>(ch) < 0x20 ? ' ' : ch;
                break;
        }
    }
    return out;
}

// A block end or header line of its own ("<EndIf />\n").
inline void Bare(std::ostream& out, const char* tag) { out << '<' << tag << " />\n"; }

class Line {
public:
    // Opens the element with the command's own number.
    Line(std::ostream& out, const char* tag, const Command& command) : Line(out, tag) { Int("Nr", command.number); }
    // Opens an element that is no command (the header).
    Line(std::ostream& out, const char* tag) : out_(out) { out_ << '<' << tag; }

    Line& Int(const char* name, int value) {
        char text[16];
        std::snprintf(text, sizeof(text), "%d", value);
        return Raw(name, text);
    }
    Line& Number(const char* name, float value) { return Raw(name, XmlNumber::Text(value).c_str()); }
    // "true" / "false", as the attribute readers take them.
    Line& Bool(const char* name, bool value) { return Raw(name, value ? "true" : "false"); }
    Line& Text(const char* name, const std::string& value) { return Raw(name, EscapeAttribute(value).c_str()); }
    // A value that needs no escaping (fixed keywords, formatted numbers).
    Line& Raw(const char* name, const char* value) {
        out_ << ' ' << name << "=\"" << value << '"';
        return *this;
    }
    // Closes a command's element with the description it was loaded with.
    void End(const Command& command) {
        Text("Descr", command.description);
        Close();
    }
    void Close() {
        out_ << " />\n";
        out_.flush();
    }

private:
    std::ostream& out_;
};

}  // namespace ElementWriter
