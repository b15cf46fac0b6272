// phonels' listing: the tree it prints, and its fallback when GetObjectPropList fails.

#include <gtest/gtest.h>

#include <sstream>

#include "mtp/MTPCodes.h"
#include "mtp/MTPSession.h"
#include "tools/phonels/PhoneLister.h"
#include "tools/phonesim/DemoContent.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace {

using phonesim::Faults;
using phonesim::SimulatedPhone;

constexpr uint32_t Internal = 0x00010001;

std::string listing(SimulatedPhone& phone, phonels::ListOptions options = {}) {
    mtp::MTPSession session(std::make_unique<phonesim::SimulatedTransport>(phone));
    session.open();
    std::ostringstream out;
    phonels::listPhone(session, out, options);
    return out.str();
}

TEST(Phonels, PrintsStoragesAndAnAlignedTree) {
    phonesim::PhoneConfig config;
    config.storages = {
        phonesim::StorageConfig{"Internal shared storage", 2'000'000, std::nullopt, false}};
    SimulatedPhone phone(config);
    phone.addFile(Internal, "Download/b.pdf", phonesim::Bytes(183'201), 1706745599);
    phone.addFile(Internal, "Download/a-long-name.txt", phonesim::Bytes(12), 1706745599);
    phone.addFolder(Internal, "Alarms");
    std::string text = listing(phone, phonels::ListOptions{-1, true, true});
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Internal shared storage  2.0 MB, 1.8 MB free");
    std::getline(lines, line);
    EXPECT_EQ(line, "├── Alarms/");
    std::getline(lines, line);
    EXPECT_EQ(line, "└── Download/");
    std::getline(lines, line);
    EXPECT_EQ(line.substr(0, line.size() - 18), "    ├── a-long-name.txt      12");
    std::getline(lines, line);
    EXPECT_EQ(line.substr(0, line.size() - 18), "    └── b.pdf            183201");

    phone.updateFaults([](Faults& f) { f.locked = true; });
    EXPECT_EQ(listing(phone),
              "No storage visible: the phone may be locked; unlock it and try again.\n");
}

TEST(Phonels, FallsBackToObjectInfoWhenPropListFails) {
    SimulatedPhone phone(phonesim::demoPhoneConfig());
    phonesim::addDemoContent(phone);
    std::string expected = listing(phone);
    EXPECT_NE(expected.find("IMG_20240131_235959.jpg  2.4 MB"), std::string::npos);
    EXPECT_GT(phone.stats().count(mtp::Op::GetObjectPropList), 0u);

    phone.resetStats();
    phone.updateFaults([](Faults& f) { f.propListError = mtp::Response::GeneralError; });
    EXPECT_EQ(listing(phone), expected);
    EXPECT_GT(phone.stats().count(mtp::Op::GetObjectInfo), 10u);

    phone.resetStats();
    phone.setFaults({});
    phone.updateFaults([](Faults& f) { f.noPropList = true; });
    EXPECT_EQ(listing(phone), expected);
    EXPECT_EQ(phone.stats().count(mtp::Op::GetObjectPropList), 0u);
}

TEST(Phonels, FormatsSizesInDecimalUnits) {
    EXPECT_EQ(phonels::formatSize(0), "0 bytes");
    EXPECT_EQ(phonels::formatSize(1), "1 byte");
    EXPECT_EQ(phonels::formatSize(999), "999 bytes");
    EXPECT_EQ(phonels::formatSize(999'960), "1.0 MB");
    EXPECT_EQ(phonels::formatSize(64'000'000'000ull), "64.0 GB");
}

}  // namespace
