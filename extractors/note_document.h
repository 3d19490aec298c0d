// The content of a note of NoteStore.sqlite: its text with the attribute runs that style it and
// place its attachments, and the cells of an embedded table.
//
// A note's data (ZICNOTEDATA.ZDATA, once gunzipped) is a protobuf document: field 2 a version,
// whose field 3 is the note as a string object: field 2 its text, each repeated field 5 an
// attribute run. A run covers `length` characters counted as UTF-16 units (as the phone's
// strings count): field 1 length, 2 paragraph style (1 style, 4 indent, 5 checklist item
// {1 id, 2 done}), 9 a link, 12 attachment info {1 identifier, 2 type}. An attachment stands in
// the text as one U+FFFC.
//
// A table (ZMERGEABLEDATA of its attachment row, gunzipped) is the same document wrapper around
// an object graph: field 3 the objects, 4 key names, 5 type names, 6 UUIDs. Object kinds used
// here: 1 register, 6 dictionary {1 element {1 key, 2 value}}, 10 a string object as above,
// 13 custom object {1 type, 3 entry {1 key, 2 value}}, 16 ordered set {1 ordering {1 array
// {2 attachment {1 index, 2 uuid}}, 2 contents dictionary}, 2 elements dictionary}. A value
// refers to an object by field 6 (object index), carries an integer in 2 or a text in 4. The
// first object is the table: keys "crRows" and "crColumns" are ordered sets of UUIDs,
// "cellColumns" a dictionary column -> (row -> cell string object).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sqlite_recovery/records.h"

namespace halvern::notes {

struct AttributeRun {
  uint32_t length = 0;  // UTF-16 units
  int32_t style = -1;   // paragraph style; -1 when the run has none
  int32_t indent = 0;
  bool checklistItem = false;
  bool done = false;
  std::string link;
  std::string attachmentId;
  std::string attachmentType;
};

struct NoteDocument {
  std::string text;
  std::vector<AttributeRun> runs;
};

// The note's text and runs; nullopt when the protobuf holds no text.
std::optional<NoteDocument> ReadNoteDocument(std::string_view protobuf);

// The note cut into paragraphs (at each line feed, which ends its paragraph and is not kept),
// each split into pieces of text and attachments. `attachmentOf` is called for each U+FFFC that
// a run marks as an attachment, in text order, and returns its index in the note's list.
std::vector<NoteParagraph> Paragraphs(
    const NoteDocument& document,
    const std::function<int32_t(const AttributeRun&)>& attachmentOf);

// The checklist items of the paragraphs (style 103), text as written, in order.
std::vector<NoteChecklistItem> ChecklistOf(const std::vector<NoteParagraph>& paragraphs);

// The rows of a table attachment, each a list of cell texts; nullopt when the data is not a
// table the reader understands.
std::optional<std::vector<std::vector<std::string>>> ReadNoteTable(std::string_view protobuf);

// Gunzips (gzip or zlib) into `out`; false for data that is not whole compressed data or whose
// inflated size passes 64 MiB.
bool Gunzip(std::string_view in, std::string& out);

}  // namespace halvern::notes
