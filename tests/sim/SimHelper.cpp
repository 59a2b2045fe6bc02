// A second process for the stand-in tests: loads the stand-in library and
// does one thing with it.
//
//   helper request <path> <action> <archive> [data] prints the result
//   helper take <mount> <archive>                   receives one list
//       without ending its actions, prints the first cookie and exits, as a
//       copytool that dies mid-action
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "SimApi.h"

namespace {

bool ToInt(const char* text, int& value)
{
    const char* end = text + strlen(text);
    auto [p, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && p == end;
}

int Take(const char* mount, int archive)
{
    const simtest::Llapi& api = simtest::Api();
    hsm_copytool_private* ct = nullptr;
    int rc = api.copytool_register(&ct, mount, 1, &archive, O_NONBLOCK);
    hsm_action_list* hal = nullptr;
    int size = 0;
    if (rc == 0) rc = api.copytool_recv(ct, &hal, &size);
    if (rc != 0) {
        printf("%d\n", rc);
        return 1;
    }
    const char* first = reinterpret_cast<const char*>(hai_first(hal));
    hsm_action_item hai;
    memcpy(&hai, first, sizeof hai);
    printf("%llu\n", hai.hai_cookie);
    fflush(stdout);
    _exit(0);  // gone without unregistering or ending the action
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    int a = 0, b = 0;
    if (cmd == "request" && (argc == 5 || argc == 6) && ToInt(argv[3], a) && ToInt(argv[4], b)) {
        const int rc = simtest::SubmitRequest(argv[2], a, static_cast<unsigned>(b), argc == 6 ? argv[5] : "");
        printf("%d\n", rc);
        return rc == 0 ? 0 : 1;
    }
    if (cmd == "take" && argc == 4 && ToInt(argv[3], a)) return Take(argv[2], a);
    fprintf(stderr, "usage: %s request|take ...\n", argv[0]);
    return 2;
}
