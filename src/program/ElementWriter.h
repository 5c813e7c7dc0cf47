#pragma once

// Writes one program element as a single line "<Tag a="..." ... Descr="" />\n", the form
// the loader reads back. Each value is formatted on its own into a buffer that always
// holds it, and texts (conditions, variable names) are streamed escaped, so no line is
// ever cut short into broken XML however long a condition is.

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

class Line {
public:
    Line(std::ostream& out, const char* tag) : out_(out) { out_ << '<' << tag; }

    Line& Int(const char* name, int value) {
        char text[16];
        std::snprintf(text, sizeof(text), "%d", value);
        return Raw(name, text);
    }
    // Fixed decimals; 64 bytes hold any float ("%.3f" of the largest is 43 characters).
    Line& Number(const char* name, float value, int decimals) {
        char text[64];
        std::snprintf(text, sizeof(text), "%.*f", decimals, static_cast<double>(value));
        return Raw(name, text);
    }
    Line& Text(const char* name, const std::string& value) { return Raw(name, EscapeAttribute(value).c_str()); }
    // A value that needs no escaping (fixed keywords, formatted numbers).
    Line& Raw(const char* name, const char* value) {
        out_ << ' ' << name << "=\"" << value << '"';
        return *this;
    }
    void End() {
        out_ << " Descr=\"\" />\n";
        out_.flush();
    }

private:
    std::ostream& out_;
};

}  // namespace ElementWriter
