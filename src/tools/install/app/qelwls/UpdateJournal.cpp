// The bytes of every journal record: each kind's fields are listed once, in
// Layout, and the same list writes a record (FieldWriter) and reads it back
// (FieldReader). The bytes are those the logs have always held, so that logs
// an earlier build wrote are still undone and replayed.
#include "UpdateJournal.h"

#include "BasicException.h"
#include "Util.h"

#include <type_traits>
#include <utility>

namespace qel {
namespace journal {
namespace {
constexpr const char* kModuleName = "Update";

// A comma inside a path or device id is written as this character.
constexpr wchar_t kEscapedComma = L'|';

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// A number as the C runtime reads it with base 0 ("0x" hexadecimal, a
// leading 0 octal), but only when the whole field is the number and it fits
// below `limit`: no sign, no space, nothing after it.
bool ParseNumber(const std::wstring& text, int base, uint64_t limit, uint64_t& value) {
    size_t at = 0;
    if (base == 0) {
        if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
            base = 16, at = 2;
        else if (text.size() > 1 && text[0] == L'0')
            base = 8, at = 1;
        else
            base = 10;
    }
    if (at >= text.size()) return false;
    value = 0;
    for (; at < text.size(); ++at) {
        const int digit = HexDigit(text[at]);
        if (digit < 0 || digit >= base || value > (limit - digit) / base) return false;
        value = value * base + digit;
    }
    return true;
}

unsigned RootNumber(HKEY root) { return static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(root)); }

// Only the predefined roots are taken back from a record: a record can never
// make an undo open an arbitrary handle.
bool RootOfNumber(uint64_t number, HKEY& root) {
    if (number < 0x80000000u || number > 0x80000006u) return false;
    root = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(number)));
    return true;
}

// Writes the fields of a record after its kind.
class FieldWriter {
public:
    static constexpr bool kWrites = true;
    explicit FieldWriter(const wchar_t* kind) : line_(kind) {}

    void Path(const std::wstring& text) {
        line_ += L',';
        for (wchar_t c : text) {
            // The line would end inside the field, and the reader act on the
            // rest as a record of its own.
            if (c == L'\r' || c == L'\n') QEL_RAISE(text, ERROR_INVALID_NAME);
            line_ += c == L',' ? kEscapedComma : c;
        }
    }
    void Text(const std::wstring& text) {
        line_ += L',';
        for (wchar_t c : text) {
            if (c == L'%' || c == L',' || c == kEscapedComma || c < 0x20)
                line_ += FormatText(L"%%%02X", static_cast<unsigned>(c));
            else
                line_ += c;
        }
    }
    void RequiredText(const std::wstring& text) { Text(text); }
    void Number(uint32_t number) { line_ += FormatText(L",0x%08x", number); }
    void Number(const std::optional<uint32_t>& number) {
        if (number) Number(*number);
    }
    void Decimal(uint32_t number) { line_ += FormatText(L",%u", number); }
    void LongNumber(uint64_t number) { line_ += FormatText(L",0x%I64x", number); }
    void Flag(bool flag) { line_ += flag ? L",1" : L",0"; }
    void Root(HKEY root) { Number(RootNumber(root)); }
    void Bytes(const std::vector<BYTE>& data) {
        static const wchar_t digits[] = L"0123456789abcdef";
        line_ += L',';
        for (BYTE b : data) {
            line_ += digits[b >> 4];
            line_ += digits[b & 0xF];
        }
    }
    std::wstring Line() const { return line_ + L"\n"; }

private:
    std::wstring line_;
};

// Reads the fields of a record after its kind; any field that is missing or
// malformed, or one left over, makes the line no record.
class FieldReader {
public:
    static constexpr bool kWrites = false;
    explicit FieldReader(std::vector<std::wstring> fields) : fields_(std::move(fields)) {}

    void Path(std::wstring& text) {
        if (!Next(text)) return;
        for (wchar_t& c : text)
            if (c == kEscapedComma) c = L',';
    }
    void Text(std::wstring& text) {
        std::wstring field;
        if (!Next(field)) return;
        text.clear();
        for (size_t i = 0; i < field.size(); ++i) {
            if (field[i] == kEscapedComma) return Refuse();
            if (field[i] != L'%') {
                text += field[i];
                continue;
            }
            if (i + 2 >= field.size()) return Refuse();
            const int high = HexDigit(field[i + 1]), low = HexDigit(field[i + 2]);
            if (high < 0 || low < 0) return Refuse();
            text += static_cast<wchar_t>(high * 16 + low);
            i += 2;
        }
    }
    void RequiredText(std::wstring& text) {
        Text(text);
        if (text.empty()) Refuse();
    }
    template <typename Unsigned>
    void Number(Unsigned& number) {
        number = static_cast<Unsigned>(ReadNumber(0, 0xFFFFFFFFu));
    }
    // Only when a field is left for it.
    void Number(std::optional<uint32_t>& number) {
        if (next_ < fields_.size()) number = static_cast<uint32_t>(ReadNumber(0, 0xFFFFFFFFu));
    }
    template <typename Unsigned>
    void Decimal(Unsigned& number) {
        number = static_cast<Unsigned>(ReadNumber(10, 0xFFFFFFFFu));
    }
    void LongNumber(uint64_t& number) { number = ReadNumber(0, ~0ull); }
    void Flag(bool& flag) { flag = ReadNumber(0, 0xFFFFFFFFu) != 0; }
    void Root(HKEY& root) {
        if (!RootOfNumber(ReadNumber(0, 0xFFFFFFFFu), root)) Refuse();
    }
    void Bytes(std::vector<BYTE>& data) {
        std::wstring field;
        if (!Next(field)) return;
        if (field.size() % 2 != 0) return Refuse();
        data.clear();
        for (size_t i = 0; i < field.size(); i += 2) {
            const int high = HexDigit(field[i]), low = HexDigit(field[i + 1]);
            if (high < 0 || low < 0) return Refuse();
            data.push_back(static_cast<BYTE>(high * 16 + low));
        }
    }
    bool Read() const { return ok_ && next_ == fields_.size(); }

private:
    bool Next(std::wstring& field) {
        if (!ok_ || next_ >= fields_.size()) return Refuse(), false;
        field = fields_[next_++];
        return true;
    }
    uint64_t ReadNumber(int base, uint64_t limit) {
        std::wstring field;
        uint64_t value = 0;
        if (Next(field) && !ParseNumber(field, base, limit, value)) Refuse();
        return value;
    }
    void Refuse() { ok_ = false; }

    std::vector<std::wstring> fields_;
    size_t next_ = 1;  // field 0 is the kind
    bool ok_ = true;
};

// The record as the fields object sees it: read-only for the writer.
template <typename Fields, typename Record>
using Of = std::conditional_t<Fields::kWrites, const Record, Record>;

// --- the fields of each kind, after the kind ---------------------------------
template <typename F> void Layout(F& f, Of<F, CreateDirRecord>& r) { f.Path(r.folder); }
template <typename F> void Layout(F& f, Of<F, CopyFileRecord>& r) { f.Path(r.source), f.Path(r.copy); }
template <typename F> void Layout(F& f, Of<F, MoveFileRecord>& r) { f.Path(r.from), f.Path(r.to); }
template <typename F> void Layout(F& f, Of<F, QueuedMoveRecord>& r) { f.Path(r.from), f.Path(r.to); }
template <typename F> void Layout(F& f, Of<F, CopyInfRecord>& r) { f.Path(r.inf), f.Path(r.folder); }
template <typename F> void Layout(F& f, Of<F, UpdateDriverRecord>& r) {
    f.Path(r.hardwareId), f.Path(r.newInf), f.Path(r.previousInf);
}
template <typename F> void Layout(F& f, Of<F, TempFileRecord>& r) { f.Text(r.path); }
template <typename F> void Layout(F& f, Of<F, RestoreFileRecord>& r) { f.Text(r.path), f.Text(r.copy); }
template <typename F> void Layout(F& f, Of<F, NewLinkRecord>& r) { f.Text(r.path); }
template <typename F> void Layout(F& f, Of<F, SharedDllRecord>& r) {
    f.Text(r.valueName), f.Number(r.view), f.Flag(r.existed), f.Number(r.count);
}
template <typename F, typename Key> void KeyFields(F& f, Key& key) {
    f.Root(key.root), f.Number(key.view), f.RequiredText(key.subkey);
}
template <typename F> void Layout(F& f, Of<F, RegValueRecord>& r) {
    KeyFields(f, r.key), f.Text(r.name), f.Number(r.type), f.Bytes(r.data);
}
template <typename F> void Layout(F& f, Of<F, RegNoValueRecord>& r) { KeyFields(f, r.key), f.Text(r.name); }
template <typename F> void Layout(F& f, Of<F, RegNewKeyRecord>& r) { KeyFields(f, r.key); }
template <typename F> void Layout(F& f, Of<F, RegKeyRecord>& r) { KeyFields(f, r.key); }
template <typename F> void Layout(F& f, Of<F, RegLinkRecord>& r) { KeyFields(f, r.key), f.Bytes(r.target); }
template <typename F> void Layout(F& f, Of<F, CleanupRecord>& r) { f.Decimal(r.kind), f.RequiredText(r.path); }
template <typename F> void Layout(F&, Of<F, CommittedRecord>&) {}
template <typename F> void Layout(F& f, Of<F, DriverPackagesRecord>& r) { f.Path(r.folder); }
template <typename F> void Layout(F& f, Of<F, NewDriverPackageRecord>& r) { f.Path(r.inf); }
template <typename F> void Layout(F& f, Of<F, NewDeviceRecord>& r) { f.Path(r.hardwareId); }
template <typename F> void Layout(F& f, Of<F, FilterComponentRecord>& r) {
    f.Path(r.componentId), f.Path(r.previousInf);
}

template <typename F> void Layout(F& f, Of<F, InstalledFileRecord>& r) {
    f.Path(r.source), f.Path(r.destination), f.Number(r.flags);
}
template <typename F> void Layout(F& f, Of<F, MovedFileRecord>& r) { f.Path(r.source), f.Path(r.destination); }
template <typename F> void Layout(F& f, Of<F, InstalledInfRecord>& r) { f.Path(r.inf), f.Path(r.installed); }

template <typename F> void Layout(F& f, Of<F, RunProcessRecord>& r) {
    f.Decimal(r.processId), f.LongNumber(r.creationTime);
}
template <typename F> void Layout(F& f, Of<F, RunCommandRecord>& r) { f.Text(r.commandLine); }
template <typename F> void Layout(F& f, Of<F, RunRollbackLogRecord>& r) { f.Path(r.path); }
template <typename F> void Layout(F& f, Of<F, RunUninstallLogRecord>& r) { f.Path(r.path); }

template <typename Variant>
std::wstring EncodeAny(const Variant& record) {
    return std::visit(
        [](const auto& kind) {
            FieldWriter writer(kind.kKind);
            Layout(writer, kind);
            return writer.Line();
        },
        record);
}

// Tries each kind of the variant whose name field 0 holds.
template <typename Variant, size_t... Index>
std::optional<Variant> DecodeAny(const std::vector<std::wstring>& fields, std::index_sequence<Index...>) {
    std::optional<Variant> decoded;
    const auto tryKind = [&](auto kind) {
        if (decoded || fields[0] != kind.kKind) return;
        FieldReader reader(fields);
        Layout(reader, kind);
        if (reader.Read()) decoded = Variant(std::move(kind));
    };
    (tryKind(std::variant_alternative_t<Index, Variant>{}), ...);
    return decoded;
}

}  // namespace

std::wstring Encode(const RollbackRecord& record) { return EncodeAny(record); }
std::wstring Encode(const UninstallRecord& record) { return EncodeAny(record); }
std::wstring Encode(const MarkerRecord& record) { return EncodeAny(record); }

template <typename Record>
std::optional<Record> Decode(const std::wstring& line) {
    std::vector<std::wstring> fields;
    SplitCommaList(line, fields);
    if (fields.empty()) return std::nullopt;
    return DecodeAny<Record>(fields, std::make_index_sequence<std::variant_size_v<Record>>{});
}
template std::optional<RollbackRecord> Decode<RollbackRecord>(const std::wstring&);
template std::optional<UninstallRecord> Decode<UninstallRecord>(const std::wstring&);
template std::optional<MarkerRecord> Decode<MarkerRecord>(const std::wstring&);

std::wstring KindOf(const std::wstring& line) { return line.substr(0, line.find(L',')); }

bool IsRegistryRecordRoot(HKEY root) {
    HKEY checked = nullptr;
    return RootOfNumber(RootNumber(root), checked) && checked == root;
}

}  // namespace journal
}  // namespace qel
