#include "tools/phonesim/DemoContent.h"

#include <ctime>
#include <string_view>

namespace phonesim {

namespace {

// Deterministic filler that starts like the real format, so file managers guess the type.
Bytes fakeContent(std::string_view magic, size_t size, uint32_t seed) {
    Bytes bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<uint8_t>(state >> 24);
    }
    for (size_t i = 0; i < magic.size() && i < size; ++i) bytes[i] = static_cast<uint8_t>(magic[i]);
    return bytes;
}

Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

constexpr std::string_view jpeg(
    "\xFF\xD8\xFF\xE1\x00\x10"
    "Exif",
    10);
constexpr std::string_view png("\x89PNG\r\n\x1A\n", 8);
constexpr std::string_view mp4(
    "\x00\x00\x00\x18"
    "ftypmp42",
    12);
constexpr std::string_view mp3("ID3\x04\x00", 5);
constexpr std::string_view pdf("%PDF-1.7\n");

// Local time, like the names a phone's camera gives its files.
std::time_t at(int year, int month, int mday, int hour, int minute, int second) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = mday;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

}  // namespace

PhoneConfig demoPhoneConfig() {
    PhoneConfig config;
    config.manufacturer = "Brisvale";
    config.model = "Simulated Phone";
    config.serial = "SIM0001";
    config.storages = {
        StorageConfig{"Internal shared storage", 64'000'000'000ull, std::nullopt, false},
        StorageConfig{"SD card", 32'000'000'000ull, std::nullopt, true}};
    return config;
}

void addDemoContent(SimulatedPhone& phone) {
    std::vector<uint32_t> ids = phone.storageIDs();
    if (ids.empty()) return;
    uint32_t internal = ids[0];
    for (std::string_view folder : {"Alarms", "Android/data", "Android/media", "Movies", "Podcasts",
                                    "Ringtones", "Notifications"}) {
        phone.addFolder(internal, folder);
    }
    phone.addFile(internal, "DCIM/Camera/IMG_20240131_235959.jpg", fakeContent(jpeg, 2'412'118, 1),
                  at(2024, 1, 31, 23, 59, 59));
    phone.addFile(internal, "DCIM/Camera/IMG_20240201_101502.jpg", fakeContent(jpeg, 3'105'771, 2),
                  at(2024, 2, 1, 10, 15, 2));
    phone.addFile(internal, "DCIM/Camera/IMG_20240201_101509.jpg", fakeContent(jpeg, 2'987'004, 3),
                  at(2024, 2, 1, 10, 15, 9));
    phone.addFile(internal, "DCIM/Camera/VID_20240203_184501.mp4", fakeContent(mp4, 7'340'032, 4),
                  at(2024, 2, 3, 18, 45, 1));
    phone.addFile(internal, "Pictures/Screenshots/Screenshot_20240115-091233.png",
                  fakeContent(png, 312'456, 5), at(2024, 1, 15, 9, 12, 33));
    phone.addFile(internal, "Download/boarding-pass.pdf", fakeContent(pdf, 183'201, 6),
                  at(2024, 1, 29, 17, 2, 40));
    phone.addFile(internal, "Download/brisvale-0.1.0.tar.gz", fakeContent("\x1F\x8B", 1'048'577, 7),
                  at(2024, 1, 30, 8, 30, 0));
    phone.addFile(internal, "Music/Road Trip/01 Morning Drive.mp3", fakeContent(mp3, 4'194'304, 8),
                  at(2023, 12, 22, 20, 4, 10));
    phone.addFile(internal, "Music/Road Trip/02 Coast Road.mp3", fakeContent(mp3, 3'670'016, 9),
                  at(2023, 12, 22, 20, 4, 12));
    phone.addFile(internal, "Documents/notes.txt",
                  text("Brisvale demo phone.\nEverything here lives in memory; nothing is kept.\n"),
                  at(2024, 1, 26, 21, 47, 5));
    if (ids.size() < 2) return;
    uint32_t sd = ids[1];
    phone.addFile(sd, "DCIM/Camera/IMG_20230812_143000.jpg", fakeContent(jpeg, 2'200'000, 10),
                  at(2023, 8, 12, 14, 30, 0));
    phone.addFile(sd, "Movies/Holiday 2023.mp4", fakeContent(mp4, 1'500'000, 11),
                  at(2023, 8, 14, 19, 2, 51));
}

}  // namespace phonesim
