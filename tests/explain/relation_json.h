// The JSON form of a relation, as the manual page gives it: every relation
// finding of every test pair is checked against it.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>

namespace velmora::explain {

// Failures name the field. Rows count from 1.
inline void expectRelationJson(const nlohmann::json& r) {
  ASSERT_TRUE(r.is_object()) << r.dump();
  std::set<std::string> keys;
  for (const auto& [key, value] : r.items()) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::string>{"row_map", "value_map", "precision", "features", "window", "patterns", "holds",
                                         "residual_total", "exceptions"}))
      << r.dump();
  const auto& rowMap = r["row_map"];
  if (!rowMap.is_null()) {
    ASSERT_TRUE(rowMap.is_object() && rowMap.size() == 1) << rowMap.dump();
    if (rowMap.contains("runs")) {
      ASSERT_TRUE(rowMap["runs"].is_array() && !rowMap["runs"].empty());
      for (const auto& run : rowMap["runs"]) {
        ASSERT_TRUE(run.is_array() && run.size() == 4) << run.dump();
        for (const auto& v : run) EXPECT_TRUE(v.is_number_integer()) << run.dump();
        EXPECT_GE(run[0].get<long long>(), 1);
        EXPECT_LE(run[0].get<long long>(), run[1].get<long long>());
        EXPECT_GE(run[2].get<long long>(), 1);
        EXPECT_NE(run[3].get<long long>(), 0);
      }
    } else {
      ASSERT_TRUE(rowMap.contains("sorted_by")) << rowMap.dump();
      const auto& by = rowMap["sorted_by"];
      ASSERT_TRUE(by.is_object() && by.size() == 2) << by.dump();
      EXPECT_TRUE(by["column"].is_number_integer() && by["column"] >= 1 && by["column"] <= 3);
      EXPECT_TRUE(by["descending"].is_boolean());
    }
  }
  const auto& valueMap = r["value_map"];
  if (!valueMap.is_null()) {
    ASSERT_TRUE(valueMap.is_object() && valueMap.size() == 3) << valueMap.dump();
    EXPECT_TRUE(valueMap["column"].is_number_integer() && valueMap["column"] >= 1 && valueMap["column"] <= 3);
    EXPECT_TRUE(valueMap["factor"].is_number());
    EXPECT_TRUE(valueMap["offset"].is_number());
  }
  const auto& precision = r["precision"];
  if (!precision.is_null()) {
    ASSERT_TRUE(precision.is_object() && precision.size() == 1) << precision.dump();
    const bool decimals = precision.contains("decimals"), digits = precision.contains("significant_digits");
    if (precision.contains("binary")) {
      EXPECT_EQ(precision["binary"], "single");
    } else {
      EXPECT_TRUE(decimals || digits) << precision.dump();
      EXPECT_TRUE(precision.begin()->is_number_integer());
    }
  }
  // The features are the value map's terms, the first its column's.
  const auto& features = r["features"];
  EXPECT_EQ(features.is_null(), valueMap.is_null()) << r.dump();
  if (!features.is_null()) {
    ASSERT_TRUE(features.is_array() && !features.empty() && features.size() <= 3) << features.dump();
    EXPECT_EQ(features[0]["column"], valueMap["column"]);
    EXPECT_EQ(features[0]["coefficient"], valueMap["factor"]);
    for (const auto& f : features) {
      ASSERT_TRUE(f.is_object() && f.size() == 4) << f.dump();
      const std::set<std::string> kinds{"column", "next_row", "row_number"};
      EXPECT_TRUE(f["feature"].is_string() && kinds.count(f["feature"].get<std::string>()) == 1) << f.dump();
      EXPECT_EQ(f["column"].is_null(), f["feature"] == "row_number") << f.dump();
      EXPECT_TRUE(f["transform"].is_null() || f["transform"].is_string()) << f.dump();
      EXPECT_TRUE(f["coefficient"].is_number()) << f.dump();
    }
  }
  const auto& window = r["window"];
  if (!window.is_null()) {
    ASSERT_TRUE(window.is_array() && window.size() == 2) << window.dump();
    EXPECT_EQ(window[0], features[0]["coefficient"]);
  }
  ASSERT_TRUE(r["patterns"].is_array()) << r.dump();
  for (const auto& p : r["patterns"]) {
    ASSERT_TRUE(p.is_object() && p.size() == 7) << p.dump();
    const std::set<std::string> kinds{"shared value", "period", "run", "trend"};
    EXPECT_TRUE(p["pattern"].is_string() && kinds.count(p["pattern"].get<std::string>()) == 1) << p.dump();
    EXPECT_TRUE(p["rows"].is_number_integer() && p["rows"] >= 1);
    EXPECT_LE(p["first"].get<long long>(), p["last"].get<long long>());
    EXPECT_EQ(p["value"].is_null(), p["pattern"] != "shared value") << p.dump();
    EXPECT_EQ(p["per_row"].is_null(), p["pattern"] != "trend") << p.dump();
  }
  ASSERT_TRUE(r["holds"].is_object() && r["holds"].size() == 2) << r.dump();
  EXPECT_TRUE(r["holds"]["rows"].is_number_integer());
  EXPECT_TRUE(r["holds"]["of"].is_number_integer());
  EXPECT_LE(r["holds"]["rows"].get<long long>(), r["holds"]["of"].get<long long>());
  EXPECT_TRUE(r["residual_total"].is_number());
  ASSERT_TRUE(r["exceptions"].is_array());
  for (const auto& row : r["exceptions"]) EXPECT_TRUE(row.is_number_integer() && row >= 1) << row.dump();
}

}  // namespace velmora::explain
