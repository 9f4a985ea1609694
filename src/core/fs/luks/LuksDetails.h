#pragma once

#include <string>

#include "core/fs/luks/LuksHeader.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane::luks {

// The "Details" report of a LUKS volume: from `heading` + "LUKS1" or "LUKS2" on, the
// header's values (LUKS1's eight key slots; LUKS2's two headers with their checksums and
// which one is in use, then each segment, keyslot, digest and token of its JSON area and
// its config) into `view`, the same as fields after "fileSystem" into `json` (either may
// be null). Salts and digests are shown as the header stores them.
void WriteDetails(const VolumeState& state, const std::u16string& heading, ViewText* view, Json* json);

// "LUKS header not usable - " and why.
std::u16string NotUsableLine(const VolumeState& state);

// A JSON area's value as the output's JSON: numbers that fit 64 bits as numbers, others
// as their digits.
Json ToJson(const JsonValue& value);

// A JSON area's value in one line: a text as it is, an object as "key value, ..." with
// nested objects in parentheses, an array in brackets.
std::string OneLine(const JsonValue& value);

}  // namespace korvalane::luks
