// llapi_parse_size: a size with an optional fraction and unit suffix, read
// as liblustreapi reads it (strtoull in base 0, no overflow check on the
// product).
#include <lustre/lustreapi.h>

#include <climits>
#include <cstdlib>
#include <cstring>

extern "C" __attribute__((visibility("default"))) int llapi_parse_size(const char* optarg, unsigned long long* size,
                                                                     unsigned long long* size_units, int bytes_spec)
{
    if (!optarg || !size || !size_units || optarg[0] == '-') return -1;
    if (*size_units == 0) *size_units = 1;
    char* end;
    const unsigned long long whole = strtoull(optarg, &end, 0);
    unsigned long long frac = 0;
    unsigned long long fracDiv = 1;
    if (*end == '.') {
        for (++end; *end >= '0' && *end <= '9'; ++end) {
            if (fracDiv > ULLONG_MAX / 10) continue;  // digits beyond 10^-19 change nothing
            frac = frac * 10 + static_cast<unsigned>(*end - '0');
            fracDiv *= 10;
        }
    }
    if (*end != '\0') {
        if (end[1] != '\0') return -1;
        static const char kSuffixes[] = "kmgtpe";
        unsigned long long units;
        if (*end == 'b') {
            units = bytes_spec ? 1 : 512;
        } else {
            const char* s = strchr(kSuffixes, *end | 0x20);
            if (!s || *s == '\0') return -1;
            units = 1ULL << (10 * (s - kSuffixes + 1));
        }
        if (whole > ULLONG_MAX / units) return -1;
        *size_units = units;
    }
    *size = whole * *size_units + frac * *size_units / fracDiv;
    return 0;
}
