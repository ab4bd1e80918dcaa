# Doxygen input filter for the public headers: reads their plain "//" contract comments as
# documentation, so that the headers need no special comment syntax.
#   - the comment block at the top of a file describes the file;
#   - a comment block directly above a declaration (no blank line between) documents it;
#   - a comment after code on the same line documents that member;
#   - "// ---- Section ----" lines and blocks followed by a blank line stay plain comments.
# Every input line gives one output line; the file description adds one "@file" line above it.

function flush_block(documented,    i, text) {
  for (i = 1; i <= n; ++i) {
    text = block[i]
    if (documented) sub(/\/\//, "///", text)
    print text
  }
  n = 0
}

BEGIN { n = 0; seen_code = 0 }

/^[[:space:]]*\/\// {
  if ($0 ~ /^[[:space:]]*\/\/ ----/) { flush_block(0); print; next }
  block[++n] = $0
  next
}

{
  if (n > 0) {
    if (!seen_code) {
      print "/// @file"
      flush_block(1)
    } else {
      flush_block($0 !~ /^[[:space:]]*$/)
    }
  }
  if ($0 !~ /^[[:space:]]*$/) seen_code = 1
  # A trailing comment after code documents the member it follows (a "//" after a quote may be
  # inside a string literal and is left alone).
  at = index($0, "// ")
  if (at > 1 && substr($0, 1, at - 1) ~ /[^[:space:]]/ && substr($0, 1, at - 1) !~ /"/)
    print substr($0, 1, at - 1) "///< " substr($0, at + 3)
  else
    print
}

END { flush_block(0) }
