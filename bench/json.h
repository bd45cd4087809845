// A small JSON value for the bench results: built in order, written indented, and parsed back
// by the smoke run to prove the file is well formed.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bench {

class Json {
  public:
    enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT };

    Json() = default;
    Json(bool b) : kind_(BOOL), boolean_(b) {}
    Json(double n);
    Json(int n) : Json(static_cast<double>(n)) {}
    Json(long n) : Json(static_cast<double>(n)) {}
    Json(unsigned long n) : Json(static_cast<double>(n)) {}
    Json(long long n) : Json(static_cast<double>(n)) {}
    Json(const char *s) : kind_(STRING), text_(s) {}
    Json(std::string s) : kind_(STRING), text_(std::move(s)) {}

    static Json array() { return Json(ARRAY); }
    static Json object() { return Json(OBJECT); }

    Kind kind() const { return kind_; }
    double number() const { return number_; }
    const std::string &text() const { return text_; }
    const std::vector<Json> &items() const { return items_; }
    const std::vector<std::pair<std::string, Json>> &fields() const { return fields_; }

    Json &push(Json value);
    Json &set(const std::string &key, Json value);
    // The member named key, or nullptr.
    const Json *find(const std::string &key) const;

    std::string dump(int indent = 0) const;
    // Throws std::runtime_error with the offset of the first error.
    static Json parse(const std::string &text);

  private:
    explicit Json(Kind kind) : kind_(kind) {}
    Kind kind_ = NUL;
    bool boolean_ = false;
    double number_ = 0;
    std::string text_;
    std::vector<Json> items_;
    std::vector<std::pair<std::string, Json>> fields_;
};

} // namespace bench
