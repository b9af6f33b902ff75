#include "tests/shipped_image.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

namespace shipped {

namespace {

// The variable's value, or empty.
std::string PathOf(Program program)
{
    const char *path = getenv(Variable(program));
    return path ? path : "";
}

std::string NoImageAt(const std::string &path)
{
    return "no Windows image at " + path +
           "; `cmake --preset win32 && cmake --build --preset win32` builds it (./check does)";
}

}  // namespace

const char *Variable(Program program)
{
    return program == Program::kFilter ? "B64FILTER_WIN32_IMAGE" : "B64UNFILTER_WIN32_IMAGE";
}

std::vector<uint8_t> ReadBytes(const std::string &path)
{
    // A directory opens, then throws at the first read.
    struct stat about;
    if (stat(path.c_str(), &about) != 0 || !S_ISREG(about.st_mode))
        return {};
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> File(Program program, std::string *missing)
{
    const std::string path = PathOf(program);
    std::vector<uint8_t> file = path.empty() ? std::vector<uint8_t>() : ReadBytes(path);
    if (path.empty())
        *missing = std::string(Variable(program)) + " names no image";
    else if (file.empty())
        *missing = NoImageAt(path);
    return file;
}

emulated::MachinePtr Load(Program program, std::string *missing, std::string *fault)
{
    std::vector<uint8_t> file = File(program, missing);
    emulated::MachinePtr machine;
    if (!file.empty() && !(machine = emulated::Load(file, fault)))
        *fault = PathOf(program) + ": " + *fault;
    return machine;
}

emulated::MachinePtr LoadBeside(Program program, const std::string &name, std::string *missing,
                                std::string *fault)
{
    if (File(program, missing).empty())
        return nullptr;
    const std::string beside = PathOf(program);
    const std::string path = beside.substr(0, beside.find_last_of('/') + 1) + name;
    const std::vector<uint8_t> file = ReadBytes(path);
    emulated::MachinePtr machine;
    if (file.empty())
        *missing = NoImageAt(path);
    else if (!(machine = emulated::Load(file, fault)))
        *fault = path + ": " + *fault;
    return machine;
}

emulated::Machine *Image(std::string *missing, std::string *fault, Program program)
{
    struct Loaded {
        std::string missing, fault;
        emulated::MachinePtr machine;
    };
    static Loaded loaded[2];
    static bool tried[2];
    Loaded &l = loaded[program == Program::kFilter ? 0 : 1];
    bool &once = tried[program == Program::kFilter ? 0 : 1];
    if (!once) {
        l.machine = Load(program, &l.missing, &l.fault);
        once = true;
    }
    *missing = l.missing;
    *fault = l.fault;
    return l.machine.get();
}

}  // namespace shipped
