// Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks).
#pragma once

// Encodes the NUL-terminated input into output, which must hold
// 4 * ((strlen(input) + 2) / 3) + 1 bytes. Returns output.
char *base64_encode(char *output, const char *input);
