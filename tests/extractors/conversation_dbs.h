// Probe databases of conversations as modern phones hold them, built with the real SQLite
// library from the schemas in tests/data/ios-schemas: an sms.db of iOS 14 (or iOS 16, with
// edits, unsends and Recently Deleted) with groups, both services, reactions, a thread
// reply, a message of two attachments, a short code, national and international numbers, an
// e-mail handle and a carved message; an address book with an organisation card; a WhatsApp
// ChatStorage with a group, a member of row 1, a voice note, a captioned photo, a sticker,
// an empty push name and an @lid member; and the old iOS 5 message table.
#pragma once

#include <filesystem>
#include <string>

namespace halvern::testing {

// The sms.db. Returns "" or the error.
std::string MakeConversationSms(const std::filesystem::path& path, bool ios16);
// The address book (iOS 8 layout, values with labels in ABMultiValue): Ann Schmidt (mobile
// +49 151 12345678, home 030 9876543, ann@example.com at home, ann.schmidt@work.example at work,
// a home address), Ben Kraus (iPhone 0170 12345678, national; work +49 30 1234567), Clara Vogt
// (mobile +49 152 24273991), Dora Lang (home 030123456), and a card of the organisation
// "ACME GmbH" (main +49 89 555000).
std::string MakeConversationAddressBook(const std::filesystem::path& path);
// ChatStorage.sqlite (macOS reference schema).
std::string MakeConversationWhatsApp(const std::filesystem::path& path);
// An sms.db of iOS 5: message (address, flags, madrid_*), msg_group, group_member.
std::string MakeIos5Sms(const std::filesystem::path& path);

// Relative paths (in their domain) of the attachment files the sms.db names.
inline constexpr const char* kPhotoPath = "Library/SMS/Attachments/ab/01/IMG_0042.jpeg";
inline constexpr const char* kVoicePath = "Library/SMS/Attachments/cd/02/Audio Message.caf";
// The WhatsApp voice note and photo, relative to the group container.
inline constexpr const char* kWaVoicePath = "Message/Media/491701234@g.us/a/b/1a2b3c.opus";
inline constexpr const char* kWaPhotoPath = "Message/Media/491701234@g.us/c/d/photo.jpg";

}  // namespace halvern::testing
