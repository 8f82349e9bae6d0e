#include "python/engine/authors.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/unicode.hpp"
#include "core/utf8.hpp"
#include "engine/authors.hpp"
#include "engine/name_characters.hpp"
#include "python/calls.hpp"
#include "python/guard.hpp"

namespace refsieve::py::engine_module {
namespace {

constexpr char32_t kCodeSpace = 0x110000;

// Which characters beyond ASCII have been compared with the interpreter's,
// and which of them agreed: one bit per code point each. The module's
// functions run with the interpreter lock held, which orders every use.
class Trust {
public:
    bool judged(char32_t c) const noexcept { return test(judged_, c); }
    bool trusted(char32_t c) const noexcept { return test(trusted_, c); }
    void judge(char32_t c, bool trusted) {
        if (judged_.empty()) {
            judged_.assign(kCodeSpace / 64, 0);
            trusted_.assign(kCodeSpace / 64, 0);
        }
        judged_[c / 64] |= bit(c);
        if (trusted) {
            trusted_[c / 64] |= bit(c);
        } else {
            trusted_[c / 64] &= ~bit(c);
        }
    }

private:
    static std::uint64_t bit(char32_t c) noexcept { return std::uint64_t{1} << (c % 64); }
    static bool test(const std::vector<std::uint64_t>& bits, char32_t c) noexcept {
        return !bits.empty() && c < kCodeSpace && (bits[c / 64] & bit(c)) != 0;
    }

    std::vector<std::uint64_t> judged_;
    std::vector<std::uint64_t> trusted_;
};

Trust& trust() {
    static Trust* const instance = new Trust();  // lives as long as the process
    return *instance;
}

// The characters of a str, in its own storage.
struct Characters {
    int kind;
    const void* data;
    Py_ssize_t length;
    char32_t operator[](Py_ssize_t i) const noexcept { return PyUnicode_READ(kind, data, i); }
};

Characters characters_of(PyObject* text) noexcept {
    return {PyUnicode_KIND(text), PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text)};
}

// The text in UTF-8 when every character beyond ASCII in it is trusted.
bool trusted_utf8(PyObject* text, std::string& out) {
    const Characters chars = characters_of(text);
    out.clear();
    out.reserve(static_cast<std::size_t>(chars.length) * 2);
    for (Py_ssize_t i = 0; i < chars.length; ++i) {
        const char32_t c = chars[i];
        if (c >= 0x80 && !trust().trusted(c)) return false;
        utf8::append(out, c);
    }
    return true;
}

// A str of UTF-8 text; of ASCII text, made without decoding.
PyRef text_str(const std::string& text) {
    if (!utf8::is_ascii(text)) {
        return created(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    }
    PyRef made = created(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(made.get()), text.data(), text.size());
    return made;
}

// What the reader makes of one character beyond ASCII, in the terms that
// the interpreter's str methods give for it: isspace, isalnum, isdecimal,
// isupper and islower of the character alone; whether it lets a word be
// upper case (no lower-case or title-case letter) or lower case; whether
// lower case skips it (Case_Ignorable) or takes it for a cased letter when
// it looks for the end of a word; and its folded form.
PyRef facts(char32_t c) {
    namespace names = engine::names;
    const std::uint8_t flags = names::flags(c);
    const auto is = [&](std::uint8_t flag) { return (flags & flag) != 0; };
    const bool ignorable = unicode::is_case_ignorable(c);
    std::string folded;
    if (c == 0x03A3) {
        utf8::append(folded, 0x03C3);  // a capital sigma alone lowercases to the small one
    } else if (is(names::kFoldMapped)) {
        names::append_fold(c, folded);
    } else if (is(names::kAlnum)) {
        utf8::append(folded, c);
    }
    PyRef fold = text_str(folded);
    return created(Py_BuildValue(
        "(NNNNNNNNNO)", PyBool_FromLong(is(names::kSpace)), PyBool_FromLong(is(names::kAlnum)),
        PyBool_FromLong(is(names::kDecimal)), PyBool_FromLong(is(names::kUpper)), PyBool_FromLong(is(names::kLower)),
        PyBool_FromLong(!is(names::kLower | names::kTitle)), PyBool_FromLong(!is(names::kUpper | names::kTitle)),
        PyBool_FromLong(ignorable), PyBool_FromLong(!ignorable && unicode::is_cased(c)), fold.get()));
}

Result<Characters> str_argument(PyObject* text, const char* name) {
    if (!PyUnicode_Check(text)) return PyErr::new_err(PyExc_TypeError, std::string(name) + ": expected a str");
    return characters_of(text);
}

}  // namespace

PyObject* read_authors(PyObject*, PyObject* text) {
    return trampoline([&]() -> Result<PyRef> {
        if (!PyUnicode_Check(text)) return PyErr::downcast(text, "str");
        thread_local std::string buffer;
        std::string_view view;
        if (PyUnicode_IS_ASCII(text)) {
            view = std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
        } else if (trusted_utf8(text, buffer)) {
            view = buffer;
        } else {
            return PyRef::borrow(Py_None);
        }
        const std::optional<engine::AuthorsRead> read = engine::read_plain_authors(view);
        if (!read) return PyRef::borrow(Py_None);
        PyRef canonical = text_str(read->canonical);
        PyRef families = read->families.empty() ? PyRef::borrow(Py_None) : text_str(read->families);
        PyRef cut_short = PyRef::borrow(read->cut_short ? Py_True : Py_False);
        return created(PyTuple_Pack(3, canonical.get(), families.get(), cut_short.get()));
    });
}

PyObject* name_characters(PyObject*, PyObject* args, PyObject* kwargs) {
    return trampoline([&]() -> Result<PyRef> {
        static const char* keywords[] = {"", "judged", nullptr};
        PyObject* text = nullptr;
        int include_judged = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|$p:name_characters", const_cast<char**>(keywords), &text,
                                         &include_judged)) {
            return PyErr::take();
        }
        const Characters chars = characters_of(text);
        std::vector<char32_t> asked;
        for (Py_ssize_t i = 0; i < chars.length; ++i) {
            const char32_t c = chars[i];
            if (c < 0x80 || (trust().judged(c) && !include_judged)) continue;
            if (!(engine::names::flags(c) & engine::names::kKnown)) {
                trust().judge(c, false);  // the reader declines it whatever the interpreter says
                continue;
            }
            asked.push_back(c);
        }
        std::sort(asked.begin(), asked.end());
        asked.erase(std::unique(asked.begin(), asked.end()), asked.end());
        PyRef found = created(PyList_New(0));
        for (const char32_t c : asked) {
            PyRef character = created(PyUnicode_FromOrdinal(static_cast<int>(c)));
            PyRef pair = created(Py_BuildValue("(ON)", character.get(), facts(c).release()));
            if (PyList_Append(found.get(), pair.get()) < 0) return PyErr::take();
        }
        return found;
    });
}

PyObject* trust_characters(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return trampoline([&]() -> Result<PyRef> {
        if (nargs != 2) return PyErr::new_err(PyExc_TypeError, "trust_characters(trusted, distrusted)");
        Result<Characters> trusted = str_argument(args[0], "trusted");
        if (!trusted.ok()) return std::move(trusted).error();
        Result<Characters> distrusted = str_argument(args[1], "distrusted");
        if (!distrusted.ok()) return std::move(distrusted).error();
        for (Py_ssize_t i = 0; i < distrusted.value().length; ++i) trust().judge(distrusted.value()[i], false);
        for (Py_ssize_t i = 0; i < trusted.value().length; ++i) {
            const char32_t c = trusted.value()[i];
            // A character once distrusted stays so.
            if (!trust().judged(c)) trust().judge(c, true);
        }
        return PyRef::borrow(Py_None);
    });
}

}  // namespace refsieve::py::engine_module
