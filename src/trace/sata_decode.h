// The trace record decoder: one record text ("CODE TAG ARG", the part of a
// trace line after its timestamp) into one readable line "EVENT QUALIFIER ARG".
#pragma once

// Decodes `text` into `out`, a buffer of `size` characters (terminator
// included), truncating and always NUL-terminating. Returns 0 when `out` holds
// the decoded (or echoed) line, -1 when a parameter is missing or size < 2
// (with size 1 `out` becomes empty), -2 when the code or tag field is longer
// than 3 characters or the argument field longer than 30 (`out` empty).
int SataCmdParse(const char* text, char* out, int size);

// Renders the action pair at the start of `text` ("1/2": two hexadecimal
// action numbers) as "NAME/NAME" into `out` of `size` characters, or leaves
// `out` empty when there is no pair or a number lies outside the table.
void Act12Parse(const char* text, char* out, int size);
