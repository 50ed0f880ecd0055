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
// leader ends "450 " and its title is 200.)
bool IsMarc21(std::string_view record);

// Tells a record's character set from the record itself: UTF-8 when it holds non-ASCII
// bytes that are well-formed UTF-8; MARC-8 when it is MARC21 with leader/09 blank and holds
// MARC-8 escapes, or non-ASCII bytes that are not UTF-8; anything else is GBK.
RecordCharset DetectRecordCharset(std::string_view record);

// A record in GBK, converted from `from` with YAZ's MARC character-set conversion; only
// the text changes, and the lengths of the leader and directory follow it. A character GBK
// lacks is written as "&#xXXXX;" and counted in `references`. Leader/09 no longer says
// Unicode. A GBK record comes back as it is. Nothing when the record cannot be
// read or converted, or would outgrow ISO 2709.
std::optional<std::string> RecordToGbk(std::string_view record, RecordCharset from,
                                       int* references = nullptr);

// The notice for `records` records that hold characters GBK lacks; empty for none.
std::string ReferencesNotice(int records);

}  // namespace z39
