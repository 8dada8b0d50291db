// A JSON document written as it goes, for `plan --json`. Every character
// outside printable ASCII is escaped as \uXXXX (UTF-16 code units, so a pair
// stays a pair), which keeps the text plain ASCII whatever the paths hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kit {

class JsonWriter {
public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // The name of the next member of the object being written.
    void Key(const std::wstring& name);
    void String(const std::wstring& text);
    void Number(int64_t value);
    void Bool(bool value);
    // A member in one call.
    void Member(const std::wstring& name, const std::wstring& text) { Key(name), String(text); }
    void Member(const std::wstring& name, int64_t value) { Key(name), Number(value); }

    const std::string& Text() const { return text_; }

private:
    void Separate();  // the comma before every value but the first of its container

    std::string text_;
    std::vector<bool> first_;  // per open container: nothing written in it yet
    bool afterKey_ = false;
};

// A JSON string literal for the text, quotes included.
std::string JsonString(const std::wstring& text);

}  // namespace kit
