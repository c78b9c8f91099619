// Text routines for reading values out of the pages a web server renders:
// HTML to plain text, finding a label's line, splitting a line into tokens.
// They keep no state, allocate nothing and write only into the buffers the
// caller passes. Comparisons are byte for byte; the line end is '\n' only.
#pragma once

enum {
  PAGE_FIELD_COUNT = 32, // tokens stored by split_fields; later ones are dropped
  PAGE_FIELD_SIZE = 512, // bytes per field, NUL included
};

// The tokens of one line, each NUL-terminated.
typedef char PageFields[PAGE_FIELD_COUNT][PAGE_FIELD_SIZE];

// Copies source to destination (at least strlen(source) + 1 bytes) without
// tags and character entities; "<br>" and "<dd>" (exactly these, lower case)
// each become one newline. Entities are dropped, not decoded; an unclosed
// tag or entity drops the rest of the text. Returns the number of characters
// copied from the source (the newlines of "<br>" and "<dd>" not counted).
int html_to_text(const char *source, char *destination);

// Finds the first occurrence of label anywhere in text and copies its line,
// from the label to the newline or the end of the text, at most limit
// characters and a NUL, into line (limit + 1 bytes). Returns the position of
// the occurrence, or null (line untouched) when there is none.
const char *find_label_line(const char *label, const char *text, char *line, int limit);

// As find_label_line, but an occurrence that starts a line (at the start of
// the text or right after a newline) is preferred: the first such one is
// taken, and only when the label starts no line is the first occurrence
// anywhere taken. So "Uptime:" finds the line "Uptime: 123" even when
// "ServerUptime: 2 minutes" stands before it.
const char *find_label_line_at_start(const char *label, const char *text, char *line, int limit);

// As find_label_line, but an occurrence directly followed by '-' (a
// directive's description rather than its setting) is passed over and the
// search goes on after it. Returns the accepted occurrence, or null; after
// null, line may hold a rejected occurrence's line.
const char *find_setting_line(const char *label, const char *text, char *line, int limit);

// Splits source into tokens at any character of delimiters; runs of
// delimiters separate like one, and no token is empty. Every field is
// cleared first; token k goes to fields[k], cut to 511 characters. At most
// 32 tokens are stored. Returns the number stored.
int split_fields(const char *delimiters, const char *source, PageFields fields);
