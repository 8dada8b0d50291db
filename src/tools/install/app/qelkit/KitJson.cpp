#include "KitJson.h"

#include <cstdio>

namespace kit {

std::string JsonString(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        switch (c) {
        case L'"': out += "\\\""; break;
        case L'\\': out += "\\\\"; break;
        case L'\n': out += "\\n"; break;
        case L'\r': out += "\\r"; break;
        case L'\t': out += "\\t"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c) & 0xFFFF);
                out += escaped;
            }
        }
    }
    return out + "\"";
}

void JsonWriter::Separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) text_ += ",";
        first_.back() = false;
    }
}

void JsonWriter::BeginObject() {
    Separate();
    text_ += "{";
    first_.push_back(true);
}

void JsonWriter::EndObject() {
    first_.pop_back();
    text_ += "}";
}

void JsonWriter::BeginArray() {
    Separate();
    text_ += "[";
    first_.push_back(true);
}

void JsonWriter::EndArray() {
    first_.pop_back();
    text_ += "]";
}

void JsonWriter::Key(const std::wstring& name) {
    Separate();
    text_ += JsonString(name) + ":";
    afterKey_ = true;
}

void JsonWriter::String(const std::wstring& text) {
    Separate();
    text_ += JsonString(text);
}

void JsonWriter::Number(int64_t value) {
    Separate();
    text_ += std::to_string(value);
}

void JsonWriter::Bool(bool value) {
    Separate();
    text_ += value ? "true" : "false";
}

}  // namespace kit
