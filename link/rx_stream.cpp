// SPDX-License-Identifier: MIT
#include "rx_stream.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace mixlink::detail {

namespace {

// A stream that has grown beyond this (a large container reply) gives its memory back once it is
// empty; below it the buffer is kept for the next read.
constexpr int kKeptBytes = 4 << 20;
constexpr int kSmallestBuffer = 4096;

}  // namespace

void owed_replies::add(uint32_t hash, int64_t until_us, bool own) {
  if (count_ == kCapacity) {
    std::memmove(marks_, marks_ + 1, sizeof marks_[0] * (kCapacity - 1));
    --count_;
  }
  marks_[count_++] = mark{hash, until_us, own};
}

bool owed_replies::take_where(uint32_t hash, bool own_only) {
  for (int i = 0; i < count_; ++i) {
    if (marks_[i].hash != hash || (own_only && !marks_[i].own)) continue;
    std::memmove(marks_ + i, marks_ + i + 1, sizeof marks_[0] * static_cast<size_t>(count_ - i - 1));
    --count_;
    return true;
  }
  return false;
}

bool owed_replies::take(uint32_t hash) { return take_where(hash, false); }

bool owed_replies::take_own(uint32_t hash) { return take_where(hash, true); }

void owed_replies::expire(int64_t now_us) {
  int kept = 0;
  for (int i = 0; i < count_; ++i)
    if (marks_[i].until_us >= now_us) marks_[kept++] = marks_[i];
  count_ = kept;
}

rx_stream::~rx_stream() { std::free(buf_); }

void rx_stream::consume(int n) {
  if (n < 0) n = 0;
  if (n > size()) n = size();
  head_ += n;
  int kept = 0;
  for (int i = 0; i < end_count_; ++i)
    if (ends_[i] > n) ends_[kept++] = ends_[i] - n;
  end_count_ = kept;
  if (head_ < tail_) return;
  head_ = tail_ = 0;
  if (capacity_ > kKeptBytes) {
    std::free(buf_);
    buf_ = nullptr;
    capacity_ = 0;
  }
}

void rx_stream::erase(int at, int n) {
  if (at < 0 || n <= 0 || at >= size()) return;
  if (n > size() - at) n = size() - at;
  if (at == 0) {
    consume(n);
    return;
  }
  std::memmove(buf_ + head_ + n, buf_ + head_, static_cast<size_t>(at));
  head_ += n;
  // The block ends behind the taken bytes move up with them; one inside them falls on at.
  int kept = 0;
  for (int i = 0; i < end_count_; ++i) {
    const int e = ends_[i] <= at ? ends_[i] : ends_[i] < at + n ? at : ends_[i] - n;
    if (e > 0 && (kept == 0 || e > ends_[kept - 1])) ends_[kept++] = e;
  }
  end_count_ = kept;
}

unsigned char* rx_stream::raw_room(int want, int* room) {
  if (want < 1) want = 1;
  // The raw bytes go right behind the decoded ones, where decoding in place moves nothing until
  // an escape shrinks the block; but one byte further while an escape from the last block is
  // pending, since it may turn into two bytes for the first one of this block.
  const int gap = escape_.escape_pending;
  const long needed = static_cast<long>(size()) + gap + want;
  if (needed > INT_MAX) return nullptr;
  if (capacity_ - tail_ - gap < want && head_ > 0) {
    std::memmove(buf_, buf_ + head_, static_cast<size_t>(size()));
    tail_ -= head_;
    head_ = 0;
  }
  if (capacity_ - tail_ - gap < want) {
    long grown = capacity_ > 0 ? static_cast<long>(capacity_) * 2 : kSmallestBuffer;
    if (grown < needed) grown = needed;
    if (grown > INT_MAX) grown = INT_MAX;
    auto* b = static_cast<unsigned char*>(std::realloc(buf_, static_cast<size_t>(grown)));
    if (b == nullptr) return nullptr;
    buf_ = b;
    capacity_ = static_cast<int>(grown);
  }
  *room = capacity_ - tail_ - gap;
  return buf_ + tail_ + gap;
}

int rx_stream::decode_raw(int n, int* channel) {
  if (n <= 0) return 0;
  escape_.channel = *channel;
  const int added = decode_escapes(&escape_, buf_ + tail_ + escape_.escape_pending, n, buf_ + tail_);
  *channel = escape_.channel;
  tail_ += added;
  if (added > 0) {
    // Out of room, the newest block joins the one before it: the front ones, where the reads look
    // first, keep their ends.
    if (end_count_ == kEndsKept) --end_count_;
    ends_[end_count_++] = size();
  }
  return added;
}

int rx_stream::feed(const unsigned char* raw, int n, int* channel) {
  if (n <= 0) return 0;
  int room = 0;
  unsigned char* at = raw_room(n, &room);
  if (at == nullptr) return -9;
  std::memcpy(at, raw, static_cast<size_t>(n));
  return decode_raw(n, channel);
}

void rx_stream::reset() {
  head_ = tail_ = 0;
  end_count_ = 0;
  escape_.escape_pending = 0;
  owed_.clear();
  if (capacity_ > kKeptBytes) {
    std::free(buf_);
    buf_ = nullptr;
    capacity_ = 0;
  }
}

}  // namespace mixlink::detail
