// mkplaceholder IMAGE ID [NAME] [--writable]: writes the 1 MiB placeholder image for the phone
// whose device id is ID (its USB serial), as the app would, for the end-to-end tests, the demo
// and the benchmarks.

#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "mtp/PlaceholderImage.h"
#include "mtp/PlaceholderMarker.h"

int main(int argc, char** argv) {
    bool writable = false;
    std::string positional[3];
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--writable") {
            writable = true;
        } else if (count < 3) {
            positional[count++] = arg;
        } else {
            count = 4;
        }
    }
    if (count < 2 || count > 3) {
        fprintf(stderr, "usage: mkplaceholder IMAGE ID [NAME] [--writable]\n");
        return 1;
    }
    const std::string name = count == 3 ? positional[2] : "Phone";
    const auto image = mtp::placeholderImage(mtp::PlaceholderMarker(positional[1], name, writable));
    std::ofstream out(positional[0], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
        perror(positional[0].c_str());
        return 1;
    }
    return 0;
}
