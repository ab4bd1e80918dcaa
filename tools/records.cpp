// SPDX-License-Identifier: MIT
#include "records.h"

#include <mixlink/dictionary.h>

#include <cstdio>

#include "output.h"

namespace mixtool {

const char* type_name(int value_type) {
  switch (value_type) {
    case W_VALUE_HASH: return "hash";
    case W_VALUE_INT: return "int";
    case W_VALUE_FLOAT: return "float";
    case W_VALUE_STRING: return "string";
    default: return "unknown";
  }
}

const char* node_type_name(int node_type) {
  switch (node_type) {
    case W_CONTAINER: return "container";
    case W_INTEGER: return "int";
    case W_FLOAT: return "float";
    case W_STRING: return "string";
    case W_INTEGER_KIND: return "slot";
    default: return "unknown";
  }
}

std::string hash_text(uint32_t hash) {
  if (const char* path = wGetNameFromHash(hash)) return path;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", hash);
  return buf;
}

std::string value_text(int type, const w_value& v) {
  switch (type) {
    case W_VALUE_HASH: return hash_text(v.hash);
    case W_VALUE_INT: return std::to_string(v.i);
    case W_VALUE_FLOAT: return float_text(v.f);
    case W_VALUE_STRING: return v.s ? text_escaped(v.s) : "";
    default: return "";
  }
}

std::string json_value(int type, const w_value& v) {
  switch (type) {
    case W_VALUE_STRING: return json_string(v.s ? v.s : "");
    case W_VALUE_FLOAT: return json_float(v.f);
    case W_VALUE_HASH: return json_string(value_text(type, v));
    default: return value_text(type, v);
  }
}

}  // namespace mixtool
