#include "json.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace bench {

// JSON has no NaN or infinity: a figure that could not be measured is null.
Json::Json(double n) : kind_(std::isfinite(n) ? NUMBER : NUL), number_(n) {}

Json &Json::push(Json value) {
    items_.push_back(std::move(value));
    return items_.back();
}

Json &Json::set(const std::string &key, Json value) {
    for (auto &field : fields_)
        if (field.first == key) return field.second = std::move(value);
    fields_.emplace_back(key, std::move(value));
    return fields_.back().second;
}

const Json *Json::find(const std::string &key) const {
    for (auto &field : fields_)
        if (field.first == key) return &field.second;
    return nullptr;
}

namespace {

std::string quoted(const std::string &s) {
    std::string q = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            q += '\\';
            q += (char)c;
        } else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            q += hex;
        } else {
            q += (char)c;
        }
    }
    return q + "\"";
}

class Parser {
  public:
    explicit Parser(const std::string &text) : s_(text) {}

    Json document() {
        Json v = value();
        blanks();
        if (i_ != s_.size()) fail("text after the value");
        return v;
    }

  private:
    const std::string &s_;
    size_t i_ = 0;

    [[noreturn]] void fail(const std::string &what) {
        throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(i_));
    }
    void blanks() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
            ++i_;
    }
    bool take(char c) {
        blanks();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!take(c)) fail(std::string("expected '") + c + "'");
    }
    bool word(const char *w) {
        size_t n = std::char_traits<char>::length(w);
        if (s_.compare(i_, n, w) != 0) return false;
        i_ += n;
        return true;
    }
    std::string string() {
        expect('"');
        std::string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if ((unsigned char)c < 0x20) fail("control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size()) fail("unfinished escape");
            char e = s_[i_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                if (i_ + 4 > s_.size()) fail("short \\u escape");
                for (size_t k = 0; k < 4; ++k)
                    if (!std::isxdigit((unsigned char)s_[i_ + k])) fail("bad \\u escape");
                out += (char)std::strtol(s_.substr(i_, 4).c_str(), nullptr, 16);
                i_ += 4;
                break;
            }
            default:
                fail("bad escape");
            }
        }
        if (i_ >= s_.size()) fail("unfinished string");
        ++i_;
        return out;
    }
    Json number() {
        size_t start = i_;
        if (i_ < s_.size() && s_[i_] == '-') ++i_;
        auto digits = [&] {
            size_t from = i_;
            while (i_ < s_.size() && std::isdigit((unsigned char)s_[i_]))
                ++i_;
            if (i_ == from) fail("expected a digit");
        };
        if (i_ < s_.size() && s_[i_] == '0')
            ++i_;
        else
            digits();
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            digits();
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            digits();
        }
        return Json(std::strtod(s_.substr(start, i_ - start).c_str(), nullptr));
    }
    Json value() {
        blanks();
        if (i_ >= s_.size()) fail("expected a value");
        char c = s_[i_];
        if (c == '{') {
            ++i_;
            Json o = Json::object();
            if (take('}')) return o;
            do {
                blanks();
                std::string key = string();
                expect(':');
                if (o.find(key)) fail("duplicate key " + key);
                o.set(key, value());
            } while (take(','));
            expect('}');
            return o;
        }
        if (c == '[') {
            ++i_;
            Json a = Json::array();
            if (take(']')) return a;
            do
                a.push(value());
            while (take(','));
            expect(']');
            return a;
        }
        if (c == '"') return Json(string());
        if (word("true")) return Json(true);
        if (word("false")) return Json(false);
        if (word("null")) return Json();
        return number();
    }
};

} // namespace

std::string Json::dump(int indent) const {
    std::string pad(indent + 2, ' '), end_pad(indent, ' ');
    switch (kind_) {
    case NUL:
        return "null";
    case BOOL:
        return boolean_ ? "true" : "false";
    case NUMBER: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.10g", number_);
        return buf;
    }
    case STRING:
        return quoted(text_);
    case ARRAY: {
        if (items_.empty()) return "[]";
        // Lists of scalars stay on one line.
        bool flat = true;
        for (auto &item : items_)
            flat = flat && item.kind_ != ARRAY && item.kind_ != OBJECT;
        std::string out = "[";
        for (size_t k = 0; k < items_.size(); ++k) {
            out += k ? (flat ? ", " : ",\n" + pad) : (flat ? "" : "\n" + pad);
            out += items_[k].dump(indent + 2);
        }
        return out + (flat ? "]" : "\n" + end_pad + "]");
    }
    case OBJECT: {
        if (fields_.empty()) return "{}";
        std::string out = "{";
        for (size_t k = 0; k < fields_.size(); ++k) {
            out += (k ? ",\n" : "\n") + pad + quoted(fields_[k].first) + ": ";
            out += fields_[k].second.dump(indent + 2);
        }
        return out + "\n" + end_pad + "}";
    }
    }
    return "null";
}

Json Json::parse(const std::string &text) { return Parser(text).document(); }

} // namespace bench
