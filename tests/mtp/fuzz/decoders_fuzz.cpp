// libFuzzer target for everything that decodes bytes from the phone: container headers,
// response parameters, the datasets, PTP strings, arrays and dates, and (when the first byte is
// odd) a whole session fed the input as its IN transfers.
//
// Input: one selector byte, then the bytes. In session mode the bytes are transfers, each a
// u16 little-endian length followed by that many bytes.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "mtp/ByteReader.h"
#include "mtp/Container.h"
#include "mtp/Datasets.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPDate.h"
#include "mtp/MTPSession.h"
#include "mtp/PTPString.h"
#include "tests/mtp/ScriptedTransport.h"

namespace {

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void decoders(std::span<const uint8_t> bytes) {
    using namespace mtp;
    mtp::parseContainerHeader(bytes);
    std::vector<uint32_t> params;
    parseResponseParams(bytes, params);
    check(params.size() <= (bytes.size() >= 16 ? (bytes.size() - 12) / 4 : 0),
          "more response parameters than bytes");

    parseDeviceInfo(bytes);
    parseStorageInfo(bytes);
    parseObjectInfo(bytes);
    std::vector<PropListElement> elements = parseObjectPropList(bytes);
    check(elements.size() <= bytes.size() / 4 + 1, "prop list elements beyond the payload");

    check(ByteReader(bytes).readArrayU16().size() <= bytes.size(), "array count not clamped");
    check(ByteReader(bytes).readArrayU32().size() <= bytes.size(), "array count not clamped");

    // A decoded string is valid UTF-8 that survives our own encoder unchanged when it fits.
    std::string text = ByteReader(bytes).readString();
    std::u16string units = toUTF16(text);
    check(fromUTF16(units) == text, "decoded string is not stable UTF-8");
    Bytes encoded;
    appendPTPString(encoded, text);
    check(encoded.size() <= 1 + 255 * 2, "encoded string too long");
    std::string again = ByteReader(encoded).readString();
    if (units.size() <= maxPTPStringUnits) check(again == text, "string round trip");

    std::string_view date(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (parseMTPDate(date)) check(date.size() >= 15 && date[8] == 'T', "date accepted loosely");
}

void session(std::span<const uint8_t> bytes) {
    using namespace mtp;
    auto owned = std::make_unique<mtptest::ScriptedTransport>();
    mtptest::ScriptedTransport* phone = owned.get();
    ByteReader reader(bytes);
    while (!reader.atEnd()) {
        size_t length = reader.readU16();
        size_t at = static_cast<size_t>(std::min<uint64_t>(reader.position(), bytes.size()));
        length = std::min(length, bytes.size() - at);
        phone->queueIn(Bytes(bytes.begin() + at, bytes.begin() + at + length));
        reader.skip(length);
    }
    MTPSession s(std::move(owned));
    auto attempt = [](auto&& call) {
        try {
            call();
        } catch (const MTPError&) {
        } catch (const MTPTransportError&) {
        }
    };
    attempt([&] { s.open(); });
    attempt([&] { s.storages(); });
    attempt([&] { s.list(0x10001, RootParent); });
    attempt([&] { s.listByPropList(5); });
    attempt([&] { s.entry(7); });
    uint8_t destination[64];
    attempt([&] {
        size_t got = s.readPartial(7, 0, 1000, destination);
        check(got <= sizeof destination, "readPartial wrote past the destination");
    });
    check(!s.isStalled(), "stalled without a failed write");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::span<const uint8_t> bytes(data + 1, size - 1);
    decoders(bytes);
    if (data[0] & 1) session(bytes);
    return 0;
}
