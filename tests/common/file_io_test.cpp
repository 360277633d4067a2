#include "file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string make_temp_folder() {
    char pattern[] = "/tmp/kv830-io-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    return dir != nullptr ? dir : "";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(WriteFileAtomically, ReplacesWholeAndLeavesNoTemporary) {
    const std::string dir = make_temp_folder();
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/snapshot.json";
    std::string error;
    ASSERT_TRUE(kv830io::write_file_atomically(path, "first\n", error)) << error;
    ASSERT_TRUE(kv830io::write_file_atomically(path, std::string(100000, 'x'), error)) << error;
    EXPECT_EQ(read_file(path), std::string(100000, 'x'));
    EXPECT_NE(::access((path + ".tmp").c_str(), F_OK), 0);
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
}

TEST(WriteFileAtomically, ReportsAMissingFolderWithTheReason) {
    std::string error;
    EXPECT_FALSE(kv830io::write_file_atomically("/no/such/dir/out.json", "x", error));
    EXPECT_EQ(error, "cannot write /no/such/dir/out.json.tmp: No such file or directory");
    EXPECT_FALSE(kv830io::check_folder_writable("/no/such/dir/out.json", error));
    EXPECT_EQ(error, "cannot write in /no/such/dir: No such file or directory");
    EXPECT_TRUE(kv830io::check_folder_writable("relative-name.json", error)) << error;
    // A name that is a folder, or sits under a file, says so.
    const struct {
        std::string path;
        std::string error;
    } rows[] = {
        {"/tmp/",                  "cannot write /tmp/: it names a folder, not a file"},
        {"/tmp",                   "cannot write /tmp: it names a folder, not a file" },
        {"/etc/hostname/s-1.json", "cannot write in /etc/hostname: Not a directory"   },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        EXPECT_FALSE(kv830io::check_folder_writable(row.path, error));
        EXPECT_EQ(error, row.error);
    }
}

}  // namespace
