// SPDX-License-Identifier: MIT
/* A C program on the installed library: the whole public header as C11, linked through
   pkg-config. It names nodes through the dictionary and decodes bytes as a console sends them;
   any wrong answer is its exit status. */
#include <mixlink/mixlink.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}

int main(void) {
  /* The dictionary: names, hashes, types, and the row count as a constant expression. */
  static const w_node* rows[wds_imax > 0 ? 1 : -1];
  rows[0] = &wingdataset[0];
  check(strcmp(rows[0]->path, "$$unknown") == 0, "row 0 is the sentinel");
  const uint32_t on = wGetTokenFromName("CFG.MON.1.EQ.ON");
  check(on != 0 && strcmp(wGetName(on), "cfg.mon.1.eq.on") == 0, "a path in any case finds its row");
  check(wGetType(on) == W_INTEGER, "the row's type");
  check(wGetHashFromName("$syscfg.consolename") == W_KEEPALIVE_HASH, "the keep-alive's node hash");
  check(wGetTokenFromHash(wGetHash(on)) == on, "hash and token agree");
  check(wGetType((uint32_t)wds_imax) == -1, "a token past the table");

  /* The decoders: a float token, an event block of two entries, and a value text. */
  const unsigned char flt[] = {W_TOK_FLOAT, 0x40, 0x30, 0x00, 0x00}; /* 2.75 */
  int type = -1;
  w_value value;
  check(wParesToValue(flt, &type, &value) == 1 && type == W_VALUE_FLOAT && value.f == 2.75f, "float token");
  check(wTokenLength(flt, (int)sizeof flt) == 5, "token length");

  const uint32_t hash = wGetHash(on);
  const unsigned char block[] = {W_TOK_NODE_HASH, (unsigned char)(hash >> 24), (unsigned char)(hash >> 16),
                                 (unsigned char)(hash >> 8), (unsigned char)hash, 0x01,
                                 W_TOK_NODE_HASH, (unsigned char)(hash >> 24), (unsigned char)(hash >> 16),
                                 (unsigned char)(hash >> 8), (unsigned char)hash, 0x82, 'a', 'b', 'c'};
  w_token_value records[4];
  memset(records, 0, sizeof records);
  check(wParseEventBlock(block, (int)sizeof block, records, 4) == 2, "two events");
  check(records[0].token == on && records[0].type == W_VALUE_INT && records[0].value.i == 1, "first event");
  check(records[1].type == W_VALUE_STRING && strcmp(records[1].value.s, "abc") == 0, "second event's text");
  free(records[1].value.s);
  check(wParseToTV(block, 11, &records[2], (int)sizeof block) == (int)sizeof block, "record decoder");
  free(records[2].value.s);

  char text[W_VALUE_TEXT_SIZE];
  check(wParseToNode(NULL, flt, 0, text, (int)sizeof flt) == 5 && strcmp(text, "2.75,") == 0, "value text");

  /* Nothing connected: the link reports it instead of touching a socket. */
  check(wTCPSocket() == W_NO_SOCKET && wLinkState() == -1, "no connection");

  printf("mixlink %d %s, %d nodes\n", wVer(), wVersionText(), wds_imax);
  return failures == 0 ? 0 : 1;
}
