// Text helpers for the record buffers.
//
// All of them keep the record invariant: a buffer is its text followed by zero
// bytes only. A writer that shortens a buffer's text therefore clears what it cut
// off; a writer into a fresh buffer writes just the text and its NUL.
#pragma once

#include <cstddef>

#include "event/records.h"

namespace acdc::event {

// Copies the NUL-terminated `src` into `dst` (capacity `cap`) and clears whatever
// remains of the text `dst` held before. `src` must fit (strlen(src) < cap): the
// record's buffers all have one capacity, so copies between them always do. Returns
// the length copied.
size_t CopyText(char* dst, size_t cap, const char* src);

// Copies the text in the first `n` bytes of `src` (up to a NUL, if it holds one)
// into `dst` and terminates it, clearing the rest of the previous text. Returns false, leaving `dst` empty, when
// `n` does not fit: long text is refused, never cut, because a cut path would name
// another file.
bool CopyTextN(char* dst, size_t cap, const char* src, size_t n);

// CopyText for a `src` whose length `n` (< cap, no NUL inside) is known: the event
// path copies each text several times and need not measure it each time.
size_t CopyTextKnown(char* dst, size_t cap, const char* src, size_t n);

// Empties a buffer, clearing only the text it held.
void ClearText(char* buf, size_t cap);

// Copies `source` into `dir`. If it holds a backslash, `file` gets everything after
// the last one and `dir` ends right after it (keeping the backslash); otherwise both
// hold the whole of `source`. All three have capacity kTextCapacity.
void SplitPath(char* dir, char* file, const char* source);

// SplitPath of a `source` of known length `n` (< kTextCapacity); returns the length
// of `file`.
size_t SplitPathN(char* dir, char* file, const char* source, size_t n);

// The text after the last '.' of `name` (at most 7 characters) into the 8-byte
// `ext`; empty when there is no dot or the dot is the first character. The scan runs
// back from the end and does not stop at a backslash.
void GetExtension(const char* name, char* ext);

// GetExtension of a `name` of known length `n`.
void GetExtensionN(const char* name, size_t n, char* ext);

// ASCII A-Z to a-z in place; every other byte stays.
void LowerCase(char* text);

// The same over the first `n` bytes, for text whose length is known.
void LowerCaseN(char* text, size_t n);

}  // namespace acdc::event
