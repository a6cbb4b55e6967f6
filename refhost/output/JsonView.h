// One parsed line of JSON, read through a small view. Native builds parse
// with simdjson: a session's record line in a third of a microsecond, about
// twenty times nlohmann's DOM, which is what bounded reading many drives.
// Cross builds keep nlohmann, as Debian has simdjson for the build machine
// only. Both are strict parsers that check UTF-8, so a line reads the same.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#if ORVIK_JSON_SIMDJSON
#include <simdjson.h>
#else
#include <nlohmann/json.hpp>
#endif

class TJsonView {
 public:
#if ORVIK_JSON_SIMDJSON
  using TNative = simdjson::dom::element;
#else
  using TNative = const nlohmann::json*;
#endif
  explicit TJsonView(TNative value) : Value(value) {}

#if ORVIK_JSON_SIMDJSON
  bool IsNull() const { return Value.is_null(); }
  bool IsObject() const { return Value.is_object(); }
  bool IsArray() const { return Value.is_array(); }
  bool IsString() const { return Value.is_string(); }
  bool IsBool() const { return Value.is_bool(); }
  bool IsNumber() const { return Value.is_number(); }
  bool IsInteger() const { return Value.is_int64() || Value.is_uint64(); }
  bool IsNonNegativeInteger() const {
    return Value.is_uint64() || (Value.is_int64() && int64_t(Value.get_int64().value_unsafe()) >= 0);
  }
  // Whole numbers above INT64_MAX read as INT64_MAX.
  int64_t Integer() const {
    if (Value.type() == simdjson::dom::element_type::UINT64) return INT64_MAX;
    return Value.get_int64().value_unsafe();
  }
  uint64_t Unsigned() const { return Value.get_uint64().value_unsafe(); }
  double Number() const { return Value.get_double().value_unsafe(); }
  bool Bool() const { return Value.get_bool().value_unsafe(); }
  std::string_view String() const { return Value.get_string().value_unsafe(); }
  // Size and ForEach on arrays: the caller has checked.
  size_t Size() const { return Array().size(); }
  template <class F>
  void ForEach(F&& f) const {
    for (simdjson::dom::element item : Array()) f(TJsonView(item));
  }
#else
  bool IsNull() const { return Value->is_null(); }
  bool IsObject() const { return Value->is_object(); }
  bool IsArray() const { return Value->is_array(); }
  bool IsString() const { return Value->is_string(); }
  bool IsBool() const { return Value->is_boolean(); }
  bool IsNumber() const { return Value->is_number(); }
  bool IsInteger() const { return Value->is_number_integer(); }
  bool IsNonNegativeInteger() const {
    return Value->is_number_unsigned() || (Value->is_number_integer() && Value->get<int64_t>() >= 0);
  }
  int64_t Integer() const {
    if (Value->is_number_unsigned() && Value->get<uint64_t>() > uint64_t(INT64_MAX)) return INT64_MAX;
    return Value->get<int64_t>();
  }
  uint64_t Unsigned() const { return Value->get<uint64_t>(); }
  double Number() const { return Value->get<double>(); }
  bool Bool() const { return Value->get<bool>(); }
  std::string_view String() const { return Value->get_ref<const std::string&>(); }
  size_t Size() const { return Value->size(); }
  template <class F>
  void ForEach(F&& f) const {
    for (const nlohmann::json& item : *Value) f(TJsonView(&item));
  }
#endif

 private:
  friend class TJsonObject;
#if ORVIK_JSON_SIMDJSON
  simdjson::dom::array Array() const {
    simdjson::dom::array array;
    if (Value.get(array) != simdjson::SUCCESS) return {};
    return array;
  }
#endif
  TNative Value;
};

// An object's fields, gathered in one pass: a record is asked for a dozen
// keys, and walking its fields a dozen times was the reader's largest cost.
// A key given twice means its last value, as nlohmann reads it.
class TJsonObject {
 public:
  // `object` is a JSON object: the caller has checked.
  explicit TJsonObject(const TJsonView& object) {
#if ORVIK_JSON_SIMDJSON
    simdjson::dom::object fields;
    if (object.Value.get(fields) != simdjson::SUCCESS) return;
    for (const simdjson::dom::key_value_pair field : fields) {
      if (Count < Inline.size())
        Inline[Count] = {field.key, field.value};
      else
        More.emplace_back(field.key, field.value);
      ++Count;
    }
#else
    Object = object.Value;
#endif
  }
  std::optional<TJsonView> Find(std::string_view key) const {
#if ORVIK_JSON_SIMDJSON
    for (size_t i = More.size(); i-- > 0;)
      if (Same(More[i].first, key)) return TJsonView(More[i].second);
    for (size_t i = std::min(Count, Inline.size()); i-- > 0;)
      if (Same(Inline[i].first, key)) return TJsonView(Inline[i].second);
    return std::nullopt;
#else
    const auto it = Object->find(key);
    if (it == Object->end()) return std::nullopt;
    return TJsonView(&*it);
#endif
  }

 private:
#if ORVIK_JSON_SIMDJSON
  // Keys are short: compared in place, most of them told apart by length.
  static bool Same(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  using TField = std::pair<std::string_view, simdjson::dom::element>;
  std::array<TField, 16> Inline;
  std::vector<TField> More;
  size_t Count = 0;
#else
  const nlohmann::json* Object = nullptr;
#endif
};

// Parses lines one after the other, reusing its memory. A view stays valid
// until the next Parse.
class TJsonLineParser {
 public:
  // False when the line is not one valid JSON value.
  bool Parse(std::string_view line) {
#if ORVIK_JSON_SIMDJSON
    return Parser.parse(line.data(), line.size()).get(Document) == simdjson::SUCCESS;
#else
    Document = nlohmann::json::parse(line, nullptr, false);
    return !Document.is_discarded();
#endif
  }
  TJsonView Root() const {
#if ORVIK_JSON_SIMDJSON
    return TJsonView(Document);
#else
    return TJsonView(&Document);
#endif
  }

 private:
#if ORVIK_JSON_SIMDJSON
  simdjson::dom::parser Parser;
  simdjson::dom::element Document;
#else
  nlohmann::json Document;
#endif
};
