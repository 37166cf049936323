#include <cstring>
#include <vector>

#include "shell/kestroapp.h"

int main(int argc, char** argv)
{
    // "--screenshot FILE" is for run.sh; the rest is the viewer's own command line.
    const char* screenshot = nullptr;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            screenshot = argv[++i];
            continue;
        }
        args.push_back(argv[i]);
    }
    int count = int(args.size());
    args.push_back(nullptr);
    CKestroApp app(count, args.data());
    if (screenshot != nullptr) {
        app.SetScreenshot(QString::fromLocal8Bit(screenshot), 60000);
    }
    return app.Run();
}
