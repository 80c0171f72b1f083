// The trace record decoder: one record text ("CODE TAG ARG", the part of a
// trace line after its timestamp) into one readable line "EVENT QUALIFIER ARG".
//
//   SataDecodeWords  the record as its three words (the record model)
//   SataCmdParse     the same words joined into the caller's buffer
//   Act12Parse       an action pair "1/2" as two action names
//   SataSplitWords   a decoded line cut back into its three words
//   SataTagEchoed, SataKnownEvent, SataTagEvent  what the tag rows name
#pragma once

// Field buffers of one record, sized for the longest field accepted (3, 3 and
// 30 characters) and for the composed third word (259 characters).
enum {
    kSataCodeSize = 4,
    kSataTagSize = 4,
    kSataFieldSize = 31,
    kSataComposedSize = 260,
};

// One decoded record: three words, each pointing into this struct's own
// buffers or into the name tables. Plain storage filled by SataDecodeWords;
// the words stay valid while the struct lives and is not copied (a copy's
// pointers still point into the original).
struct SataWords {
    const char* event;
    const char* qualifier;
    const char* argument;
    char code[kSataCodeSize];
    char tag[kSataTagSize];
    char field[kSataFieldSize];
    char composed[kSataComposedSize];
};

// Decodes `text` into three words. Returns 0 when they hold the decoded (or
// echoed) record, -1 when text or words is null (words untouched), -2 when
// the code or tag field is longer than 3 characters or the argument field
// longer than 30 (all three words empty).
int SataDecodeWords(const char* text, SataWords* words);

// Decodes `text` into `out`, a buffer of `size` characters (terminator
// included): the three words joined by one blank each, truncated and always
// NUL-terminated. Returns 0 when `out` holds the decoded (or echoed) line, -1
// when a parameter is missing or size < 2 (with size 1 `out` becomes empty),
// -2 when the code or tag field is longer than 3 characters or the argument
// field longer than 30 (`out` empty).
int SataCmdParse(const char* text, char* out, int size);

// Renders the action pair at the start of `text` ("1/2": two hexadecimal
// action numbers) as "NAME/NAME" into `out` of `size` characters, or leaves
// `out` empty when there is no pair or a number lies outside the table.
void Act12Parse(const char* text, char* out, int size);

// Where the three words of a decoded line lie: the event is line[0,
// eventLength), the qualifier line[qualifierStart, qualifierStart +
// qualifierLength), the argument line[argumentStart, length). A word may be
// empty; the event and the qualifier may hold blanks where the decoder's own
// vocabulary does ("DMA Start", "Log from VARN", "Open request sent/Begin
// receive response"), so the cut follows those names first and blanks after.
struct SataWordSpans {
    int eventLength;
    int qualifierStart;
    int qualifierLength;
    int argumentStart;
};
void SataSplitWords(const char* line, int length, SataWordSpans* spans);

// Whether SataDecodeWords echoed the tag of a record it decoded: no row names
// the tag, so the event is the tag field's own text.
int SataTagEchoed(const SataWords* words);

// Whether `event` (NUL-terminated) is a name the decoder gives to an event:
// a row's, one of tag 1's tokens', one of tag 67's directions'. An echoed tag
// never is one (it has at most 3 characters, every name more).
int SataKnownEvent(const char* event);

// The event a tag's row names, or "" when no row does.
const char* SataTagEvent(int tag);
