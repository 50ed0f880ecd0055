#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace z39 {

// The character set a MARC record's text is in.
enum class RecordCharset { kGbk, kUtf8, kMarc8, kBig5 };

// The name of a character set as the target list and the external client write it
// ("GBK", "UTF-8", "MARC-8", "Big5"), and back (case and "-" ignored; "gb2312" and "cp936"
// read as GBK). An empty or unknown name reads as nothing: automatic.
const char* CharsetName(RecordCharset charset);
std::optional<RecordCharset> CharsetFromName(std::string_view name);

// The name YAZ's and iconv's converters take ("GBK", "UTF-8", "MARC8", "BIG5").
const char* IconvName(RecordCharset charset);

// True for a MARC21 record: its leader ends "4500" or it has a 245 field. (A CNMARC record's
// leader ends "450 " and its title is 200.) Says nothing of the character set.
bool IsMarc21(std::string_view record);

// The character set a record's bytes are in, decided on evidence:
// - `known` (the target's setting, or what its earlier records were) when the record reads
//   in it without loss;
// - nothing beyond ASCII: GBK (every set reads it alike);
// - MARC-8 escape sequences that decode without loss: MARC-8;
// - well-formed UTF-8 whose characters beyond ASCII are ones a catalogue holds (CJK, Latin
//   with diacritics, whole words of Greek, Cyrillic and the like; not a scatter of scripts,
//   IPA or unassigned code points): UTF-8;
// - valid GBK: GBK, unless the record is MARC21 whose bytes read as MARC-8 without loss and
//   as GBK give mostly rare characters (MARC-8 diacritics before their letters);
// - well-formed UTF-8 and no valid GBK: UTF-8.
// Nothing when no reading fits: fields in UTF-8 beside fields in GBK, or bytes valid in no
// set (`why`, when given, says which in GBK).
std::optional<RecordCharset> DecideRecordCharset(std::string_view record,
                                                 std::optional<RecordCharset> known = {},
                                                 std::string* why = nullptr);

// DecideRecordCharset without a known set; GBK when nothing fits (the save check then
// refuses what is not GBK).
RecordCharset DetectRecordCharset(std::string_view record);

// A record in GBK, converted from `from`; only the text changes, and the lengths of the
// leader and directory follow it. UTF-8 text is composed (NFC) first, so a character GBK
// holds is never written as a reference; a character GBK lacks is written as "&#xXXXX;"
// and counted in `references`. Leader/09 no longer says Unicode. A GBK record comes back
// as it is. Nothing, with the reason in `why` (GBK), when the record is not well-formed,
// a conversion would lose text (a byte the set cannot decode, an escape sequence that
// breaks off), an indicator is NUL or not ASCII, or the GBK record would outgrow ISO 2709.
std::optional<std::string> RecordToGbk(std::string_view record, RecordCharset from,
                                       int* references = nullptr, std::string* why = nullptr);

// A record of a server in GBK: its character set decided (DecideRecordCharset), then
// converted (RecordToGbk). `decided` tells which set was taken.
std::optional<std::string> ConvertRecordToGbk(std::string_view record,
                                              std::optional<RecordCharset> known, int* references,
                                              std::string* why, RecordCharset* decided = nullptr);

// The GBK form of one field's UTF-8 data (indicators and subfields), composed first;
// characters GBK lacks become references (counted).
std::string Utf8FieldToGbk(std::string_view utf8, int* references);

// The text of a refused conversion for a message: "字段245" style place and what failed.
std::string TooLargeReason(size_t bytes);

// The notice for `records` records that hold characters GBK lacks; empty for none.
std::string ReferencesNotice(int records);

}  // namespace z39
