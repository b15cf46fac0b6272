#include "mtp/USBDiscovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

namespace mtp {

namespace fs = std::filesystem;

namespace {

// A sysfs attribute without the newline the kernel ends it with; none when unreadable.
std::optional<std::string> readAttribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<unsigned long> parseNumber(std::string_view text, int base) {
    text = trimmed(text);
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// A numeric attribute; 0 when absent or not a number. The caller cuts it to its width.
unsigned long readNumber(const fs::path& file, int base) {
    const auto text = readAttribute(file);
    if (!text) return 0;
    return parseNumber(*text, base).value_or(0);
}

bool isPresent(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

// Names sort as "1-1:1.2" before "1-1:1.10".
std::pair<unsigned long, unsigned long> interfaceOrder(const std::string& name) {
    const auto colon = name.find(':');
    const auto dot = name.find('.', colon);
    if (colon == std::string::npos || dot == std::string::npos) return {0, 0};
    const std::string_view rest(name);
    return {parseNumber(rest.substr(colon + 1, dot - colon - 1), 10).value_or(0),
            parseNumber(rest.substr(dot + 1), 10).value_or(0)};
}

struct DeviceAddress {
    uint8_t bus = 0;
    uint8_t address = 0;
};

DeviceAddress addressOf(const fs::path& device) {
    return {static_cast<uint8_t>(readNumber(device / "busnum", 10)),
            static_cast<uint8_t>(readNumber(device / "devnum", 10))};
}

// The kernel reuses an address on a bus only after cycling through the other 126, but a test
// bed, or a very busy bus, can hand the same address to a new enumeration. A new enumeration is
// also a new sysfs node, and sysfs gives every new node a new inode number (allocated
// cyclically), so 24 bits of it tell two enumerations at the same address apart.
uint64_t registryIDOf(const fs::path& device) {
    const auto [bus, address] = addressOf(device);
    uint64_t tag = 0;
    struct stat info {};
    if (::stat(device.c_str(), &info) == 0) tag = static_cast<uint64_t>(info.st_ino) & 0xFFFFFF;
    return static_cast<uint64_t>(bus) << 32 | tag << 8 | address;
}

std::vector<fs::path> deviceEntries(const fs::path& sysRoot) {
    std::vector<fs::path> devices;
    std::error_code error;
    fs::directory_iterator it(sysRoot / "bus/usb/devices", error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const auto& path = it->path();
        if (path.filename().string().find(':') != std::string::npos) continue;
        if (isPresent(path / "idVendor")) devices.push_back(path);
    }
    std::sort(devices.begin(), devices.end());
    return devices;
}

std::string nodeName(uint8_t bus, uint8_t address) {
    char text[32];
    std::snprintf(text, sizeof text, "bus/usb/%03u/%03u", bus, address);
    return text;
}

bool sameFile(const fs::path& a, const fs::path& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace

uint32_t locationIDFrom(unsigned busNumber, std::string_view devpath) {
    uint32_t location = (busNumber & 0xFFu) << 24;
    if (trimmed(devpath) == "0") return location;
    int shift = 20;
    size_t start = 0;
    while (start <= devpath.size() && shift >= 0) {
        auto end = devpath.find('.', start);
        if (end == std::string_view::npos) end = devpath.size();
        const auto port = parseNumber(devpath.substr(start, end - start), 10).value_or(0);
        location |= static_cast<uint32_t>(port & 0xF) << shift;
        shift -= 4;
        start = end + 1;
    }
    return location;
}

USBDiscovery::USBDiscovery(fs::path sysRoot, fs::path procRoot, fs::path devRoot)
    : sysRoot_(std::move(sysRoot)), procRoot_(std::move(procRoot)), devRoot_(std::move(devRoot)) {}

std::vector<USBDeviceRecord> USBDiscovery::allDevices() const {
    std::vector<USBDeviceRecord> records;
    for (const auto& device : deviceEntries(sysRoot_)) records.push_back(record(device));
    return records;
}

USBDeviceRecord USBDiscovery::record(const fs::path& device) const {
    USBDeviceRecord record;
    if (auto product = readAttribute(device / "product"); product && !product->empty()) {
        record.name = std::move(*product);
    }
    record.vendorID = static_cast<uint16_t>(readNumber(device / "idVendor", 16));
    record.productID = static_cast<uint16_t>(readNumber(device / "idProduct", 16));
    record.serial = readAttribute(device / "serial").value_or("");
    record.locationID = locationIDFrom(readNumber(device / "busnum", 10),
                                       readAttribute(device / "devpath").value_or(""));
    record.registryID = registryIDOf(device);
    record.id = deviceID(record.serial, record.locationID);

    std::vector<USBInterfaceInfo> infos;
    for (auto& interface : interfaces(device)) infos.push_back(std::move(interface.info));
    record.kind = classify(record.vendorID, infos);
    return record;
}

std::vector<USBInterfaceService> USBDiscovery::interfaces(const fs::path& device) const {
    const auto prefix = device.filename().string() + ":";
    std::vector<std::pair<std::pair<unsigned long, unsigned long>, fs::path>> entries;
    std::error_code error;
    fs::directory_iterator it(device, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const auto name = it->path().filename().string();
        if (name.starts_with(prefix)) entries.emplace_back(interfaceOrder(name), it->path());
    }
    std::sort(entries.begin(), entries.end());

    const auto [bus, address] = addressOf(device);
    std::vector<USBInterfaceService> services;
    for (const auto& [order, path] : entries) {
        USBInterfaceService service;
        service.info.number = static_cast<uint8_t>(readNumber(path / "bInterfaceNumber", 16));
        service.info.cls = static_cast<uint8_t>(readNumber(path / "bInterfaceClass", 16));
        service.info.subclass = static_cast<uint8_t>(readNumber(path / "bInterfaceSubClass", 16));
        service.info.proto = static_cast<uint8_t>(readNumber(path / "bInterfaceProtocol", 16));
        service.info.name = readAttribute(path / "interface");
        service.info.endpointCount = static_cast<int>(readNumber(path / "bNumEndpoints", 16));
        service.sysfsPath = path;
        service.busNumber = bus;
        service.deviceAddress = address;
        services.push_back(std::move(service));
    }
    return services;
}

std::optional<fs::path> USBDiscovery::devicePath(uint64_t registryID) const {
    for (const auto& device : deviceEntries(sysRoot_)) {
        if (registryIDOf(device) == registryID) return device;
    }
    return std::nullopt;
}

std::optional<USBInterfaceService> USBDiscovery::mtpInterfaceService(
    const USBDeviceRecord& record) const {
    const auto number = record.kind.mtpInterface();
    if (!number) return std::nullopt;
    const auto device = devicePath(record.registryID);
    if (!device) return std::nullopt;
    for (auto& service : interfaces(*device)) {
        if (service.info.number == *number) return std::move(service);
    }
    return std::nullopt;
}

std::optional<std::string> USBDiscovery::exclusiveOwner(const USBDeviceRecord& record) const {
    const auto service = mtpInterfaceService(record);
    if (!service) return std::nullopt;
    std::error_code error;
    const auto driver = fs::read_symlink(service->sysfsPath / "driver", error);
    if (error || driver.filename().empty()) return std::nullopt;
    const auto name = driver.filename().string();
    if (name != "usbfs") return name;
    return usbfsHolder(service->busNumber, service->deviceAddress);
}

std::optional<std::string> USBDiscovery::usbfsHolder(uint8_t busNumber,
                                                     uint8_t deviceAddress) const {
    const auto node = nodeName(busNumber, deviceAddress);
    const auto nodePath = devRoot_ / node;
    const auto suffix = "/" + node;

    std::vector<std::pair<unsigned long, fs::path>> processes;
    std::error_code error;
    fs::directory_iterator it(procRoot_, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const auto pid = parseNumber(it->path().filename().string(), 10);
        if (pid && *pid != static_cast<unsigned long>(::getpid())) {
            processes.emplace_back(*pid, it->path());
        }
    }
    std::sort(processes.begin(), processes.end());

    std::optional<std::string> holder;
    for (const auto& [pid, process] : processes) {
        bool holds = false;
        std::error_code fdError;
        fs::directory_iterator fd(process / "fd", fdError);
        for (; !fdError && !holds && fd != fs::directory_iterator(); fd.increment(fdError)) {
            std::error_code linkError;
            const auto target = fs::read_symlink(fd->path(), linkError).string();
            if (linkError) continue;
            // A test bed's node lives elsewhere but ends the same way; then compare the files.
            holds = target == nodePath.string() ||
                    (target.ends_with(suffix) && sameFile(fd->path(), nodePath));
        }
        if (!holds) continue;
        if (auto comm = readAttribute(process / "comm"); comm && !comm->empty()) {
            holder = std::move(comm);
        }
    }
    return holder;
}

}  // namespace mtp
