// Reading configuration files line by line: opening, the next line with
// fields, splitting a line into fields, and reporting a bad line.
#pragma once

#include <stdio.h>

enum {
  CONFIG_FIELD_COUNT = 32, // fields kept of one line; later ones are dropped
  CONFIG_FIELD_SIZE = 512, // bytes per field, NUL included
};

// The fields of one line, each NUL-terminated.
typedef char ConfigFields[CONFIG_FIELD_COUNT][CONFIG_FIELD_SIZE];

// Opens path for reading as text; null after printing
// "varnock: unable to open file <path>" on the standard error stream. A
// directory is not opened.
FILE *open_text_file(const char *path);

// Reads lines (pieces of at most 510 characters, the line feed counting as
// one) until one has a field, skipping comments ("#" first) and empty lines.
// A CR right before a line feed is dropped, as in text mode on Windows.
// Every piece read adds 1 to *line_number when line_number is not null.
// Returns the number of fields of that line (at least 1); -1 at end of file
// or on a read error.
int next_config_line(FILE *file, ConfigFields fields, int *line_number);

// As next_config_line, and copies that line as it stands (without its line
// feed) into text, CONFIG_FIELD_SIZE bytes, for a line whose value is the
// rest of it, quotes and all.
int next_config_line_text(FILE *file, ConfigFields fields, int *line_number, char *text);

// Splits text (ending at NUL or a line feed) into fields. Blanks and tabs
// separate fields; a field opened by ' or " runs to the same quote. Fields
// past the 32nd are read and dropped, and a field is cut to 511 characters.
// Returns the number of fields stored (at most 32).
int tokenize_line(const char *text, ConfigFields fields);

// Reports a bad configuration line on the standard error stream and in the
// agent's log (level 3).
void report_config_error(const char *message, const char *found, int line_number);
