// Stands in for moonfetch.exe in the installer's test: appends the options it is started with,
// one a line, to the file that MOON_TEST_STANDIN_LOG names.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const char* log = std::getenv("MOON_TEST_STANDIN_LOG");
    FILE* file = log != nullptr ? std::fopen(log, "ab") : nullptr;
    if (file == nullptr)
        return 1;
    for (int i = 1; i < argc; ++i)
        std::fprintf(file, "%s\n", argv[i]);
    return std::fclose(file) == 0 ? 0 : 1;
}
