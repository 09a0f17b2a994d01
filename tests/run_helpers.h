// In-process runs of a whole program: memory streams, pipes, a per-test temp
// directory, and the one harness every test runs the programs through.
#pragma once

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "mdx_builder.h"

namespace karvo::test {

// An output stream whose bytes can be read back at any time.
class MemOut {
public:
    MemOut() : m_file(open_memstream(&m_buf, &m_size)) {}
    ~MemOut() {
        std::fclose(m_file);
        std::free(m_buf);
    }
    MemOut(const MemOut&) = delete;
    MemOut& operator=(const MemOut&) = delete;

    std::FILE* get() const { return m_file; }
    std::string str() {
        std::fflush(m_file);
        return std::string(m_buf, m_size);
    }

private:
    char* m_buf = nullptr;
    size_t m_size = 0;
    std::FILE* m_file;
};

// A seekable input stream over a copy of bytes.
class MemIn {
public:
    explicit MemIn(Bytes bytes) : m_bytes(std::move(bytes)) {
        m_bytes.push_back(0);   // fmemopen refuses a zero-length buffer
        m_file = fmemopen(m_bytes.data(), m_bytes.size() - 1, "rb");
    }
    ~MemIn() { std::fclose(m_file); }
    MemIn(const MemIn&) = delete;
    MemIn& operator=(const MemIn&) = delete;
    std::FILE* get() const { return m_file; }

private:
    Bytes m_bytes;
    std::FILE* m_file = nullptr;
};

// A stream that cannot seek: the read end of a pipe fed by a thread, so that
// inputs larger than the pipe's buffer get through.
class PipeIn {
public:
    explicit PipeIn(Bytes bytes) : m_bytes(std::move(bytes)) {
        std::signal(SIGPIPE, SIG_IGN);   // the reader may stop before the writer
        int fds[2];
        if (pipe(fds) != 0) {
            std::abort();
        }
        m_file = fdopen(fds[0], "rb");
        const int wfd = fds[1];
        m_writer = std::thread([this, wfd] {
            size_t done = 0;
            while (done < m_bytes.size()) {
                const ssize_t n = write(wfd, m_bytes.data() + done, m_bytes.size() - done);
                if (n <= 0) {
                    break;
                }
                done += static_cast<size_t>(n);
            }
            close(wfd);
        });
    }
    ~PipeIn() {
        std::fclose(m_file);
        m_writer.join();
    }
    PipeIn(const PipeIn&) = delete;
    PipeIn& operator=(const PipeIn&) = delete;
    std::FILE* get() const { return m_file; }

private:
    Bytes m_bytes;
    std::FILE* m_file = nullptr;
    std::thread m_writer;
};

// A fresh directory under the system temp directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "karvo-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a user sees of a run.
struct RunResult {
    int status;
    std::string out;
    std::string err;
    bool operator==(const RunResult&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const RunResult& r) {
    return os << "status " << r.status << "\nstdout: " << r.out << "\nstderr: " << r.err;
}

// One run of program with the arguments after its name, on a fresh context unless one
// is given. Standard input is empty unless in is given; standard output is captured
// unless out is given (out then reads "").
inline RunResult runProgram(const ProgramIdentity& program, VoiceSide& side,
                            const std::vector<std::string>& args, std::FILE* in = nullptr,
                            std::FILE* out = nullptr, RunContext* reused = nullptr) {
    RunContext fresh;
    RunContext& ctx = reused != nullptr ? *reused : fresh;
    MemOut memOut;
    MemOut err;
    MemIn empty(Bytes{});
    ctx.sin = in != nullptr ? in : empty.get();
    ctx.sout = out != nullptr ? out : memOut.get();
    ctx.serr = err.get();
    std::vector<const char*> argv = {"KARVO"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    const int status = runConverter(ctx, static_cast<int>(argv.size()), argv.data(), program, side);
    return {status, out != nullptr ? "" : memOut.str(), err.str()};
}

}   // namespace karvo::test
