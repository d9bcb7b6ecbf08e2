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
  EXPECT_EQ(keys, (std::set<std::string>{"row_map", "value_map", "precision", "holds", "residual_total", "exceptions"}))
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
    EXPECT_TRUE(decimals || digits) << precision.dump();
    EXPECT_TRUE(precision.begin()->is_number_integer());
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
