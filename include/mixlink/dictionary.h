// SPDX-License-Identifier: MIT
/// \file
/// Node dictionary: the console's 38,517 nodes as constant tables, with lookups between token,
/// node hash and path. Pure functions over constant data; safe from any thread.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/// Node type codes of a row.
enum {
  W_CONTAINER = 0,
  W_INTEGER = 1,
  W_FLOAT = 2,
  W_STRING = 3,
  W_INTEGER_KIND = 4,  ///< integer-valued leaf of a kind of its own (user-control slots)
};

/// One node: rows stand in tree pre-order; a container is followed by its whole subtree.
typedef struct w_node {
  const char* path;   ///< full dotted path, as the console spells it
  uint32_t hash;      ///< wGetHashFromName(path); 0 in row 0
  int32_t type;       ///< W_CONTAINER .. W_INTEGER_KIND; a leaf has type >= 1
  uint32_t attr;      ///< attribute word carried with the tree; 0 on containers; never interpreted
  uint32_t leaves;    ///< on a container, the leaves below it (0 for some send and input groups)
} w_node;

/// One entry of the hash index.
typedef struct w_hash_token {
  uint32_t hash;
  uint32_t token;
} w_hash_token;

#define W_NODE_ROWS 38517
#ifdef __cplusplus
inline constexpr int wds_imax = W_NODE_ROWS;   ///< rows of wingdataset
inline constexpr int wrds_imax = W_NODE_ROWS;  ///< pairs of wingordereddataset
#else
enum { wds_imax = W_NODE_ROWS, wrds_imax = W_NODE_ROWS };
#endif

extern const w_node wingdataset[wds_imax];                ///< row 0 is the sentinel "$$unknown"
extern const w_hash_token wingordereddataset[wrds_imax];  ///< sorted by hash, strictly increasing

/// Returns the path of a valid token (no range check).
const char* wGetNameFromToken(uint32_t token);
/// Returns the node hash of a valid token (no range check).
uint32_t wGetHashFromToken(uint32_t token);
/// Returns the path of token, or "$$unknown" when token >= wds_imax.
const char* wGetName(uint32_t token);
/// Returns the node hash of token, or 0 when token >= wds_imax.
uint32_t wGetHash(uint32_t token);
/// Returns the type of token, or -1 when token >= wds_imax.
int wGetType(uint32_t token);
/// Returns the node hash of a NUL-terminated path (letter case folded); every string has one.
uint32_t wGetHashFromName(const char* path);
/// Returns the token whose node hash is hash, or 0 when no row carries it.
uint32_t wGetTokenFromHash(uint32_t hash);
/// Returns the path of the row whose node hash is hash, or a null pointer when none carries it.
const char* wGetNameFromHash(uint32_t hash);
/// Returns the token of a NUL-terminated path in any letter case, or 0 when it is not a node.
uint32_t wGetTokenFromName(const char* path);

#ifdef __cplusplus
}
#endif
