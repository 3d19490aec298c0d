// Several backups read as one: the results of each backup's scan folded into one ScanResults
// in which an item that several backups hold appears once and names the backups it came from.
//
// What makes two items the same:
//   messages         the message guid; a row without one (carved): date, address, text, sender
//   WhatsApp         the message's stanza id; without one: date, sender, text
//   calls            the call row's unique id; without one: date, number, duration, direction
//   contacts         the same name and the same phone numbers
//   notes            the note's identifier; without one: title and text
//   table rows       every cell's value as stored
//   files            the same bytes (SHA-256 of the content, hashed only where sizes match)
// An item with an id never matches another item with a different id, whatever else they share.
// Conversations of the same person (one-to-one: the person's address; group: its members'
// addresses) or the same WhatsApp chat become one conversation, its messages in date order.
//
// Which copy stays: a live row wins over a carved copy of the same item; between two live
// copies, the newer backup's (the later state of an edited note or card). Items only an older
// backup holds (a message since deleted, carved or live there) are added.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "backup/backup_info.h"
#include "engine/scan_sequence.h"

namespace halvern {

// One backup's scan, with the label its items carry after a merge.
struct LabeledScan {
  std::string label;
  ScanResults results;
};

// "<device name>, <backup date>" ("Chloé's iPhone 12, 2024-03-01 09:30:00"); the folder's
// name stands in for a missing device name, "no date" for a missing date.
std::string BackupLabel(const BackupInfo& info);

// Whether `a` was made before `b` (their backup dates compared as text without regard to case,
// as the backup list orders them).
bool OlderBackup(const BackupInfo& a, const BackupInfo& b);
// Orders backups oldest first by their backup date (the order a merge takes them in); backups
// of the same date keep the order they were given in.
void SortBackupsOldestFirst(std::vector<BackupInfo>& backups);

// Folds the scans (oldest first) into one. Every item of the result carries in `backups` the
// labels of the scans that hold it, oldest first. Errors and notices of a category keep the
// label of the backup they belong to ("<label>: <sentence>", several joined by "; "); a notice
// every backup gives alike is given once, as it is.
// A single scan is returned as it is, its items without labels.
ScanResults MergeScans(std::vector<LabeledScan> scans);

// The SHA-256 of a file's bytes as 64 hex digits; empty when it cannot be read whole.
std::string FileContentHash(const std::filesystem::path& path);

}  // namespace halvern
