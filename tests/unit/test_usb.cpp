#include "launcher/usb_boot.hpp"
#include "launcher/yesno.hpp"
#include "support.hpp"

using namespace unit;
namespace fs = std::filesystem;

namespace {

const std::string md5 = "/bin/busybox md5sum ", scratch = " > /tmp/img_md5string";

class Usb : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        // The shell's part, as busybox does it: md5sum writes "<digest>  <path>"
        // (nothing for a file it cannot read); mkdir and touch make what they name.
        b().on_command = [this](const std::string& command) {
            if (command.starts_with(md5)) {
                const std::string path = command.substr(md5.size(), command.size() - md5.size() - scratch.size());
                std::ofstream out("/tmp/img_md5string", std::ios::trunc);
                if (digests.count(path)) out << digests[path] << "  " << path << "\n";
            } else if (command == "mkdir -p /user/images/rejected") {
                fs::create_directories("/user/images/rejected");
            } else if (command.starts_with("touch ")) {
                std::ofstream(command.substr(6));
            }
            return 0;
        };
        b().console.at_eof = false;
    }
    std::map<std::string, std::string> digests;
};

}  // namespace

TEST_F(Usb, MountWaitsElevenSecondsForTheReadyMarkerAndTheQuestionFiveForYOrN)
{
    const char* announce = "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\n";
    const struct {
        int marker_at_s, result;  // -1: never
        const char* tail;
        uint64_t slept_s;
    } cases[] = {{-1, -1, "..........USB mount timed out\n", 11},
                 {0, 0, "USB mounted and ready!\n", 1},
                 {10, 0, ".........USB mounted and ready!\n", 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tail);
        SetUp();
        st.usb_boot_enabled = 1;
        b().on_time = [&](uint64_t now_us) {
            if (c.marker_at_s >= 0 && now_us >= uint64_t(c.marker_at_s) * 1000000u) write_file("/tmp/usb", "");
        };
        const Outcome o = run([&] { return usb_mount(st); });
        EXPECT_EQ(std::pair(o.result, b().slept_us()), std::pair(c.result, c.slept_s * 1000000u));
        EXPECT_EQ(o.out, announce + std::string(c.tail));
    }
    st.usb_boot_enabled = 0;
    EXPECT_EQ(run([&] { return usb_mount(st); }).out, "");

    // The question waits five seconds for y or n.
    const struct {
        std::vector<int> keys;
        bool at_eof;  // after the keys: a closed console, else silence
        int result;
        const char* output;
        uint64_t slept_s;
    } answers[] = {
        {{'n', '\n'}, false, 0, "(y/n) ", 0},
        {{'Y', 'y'}, false, 1, "(y/n) (y/n) ", 0},
        {{'x'}, false, 0, "(y/n) (y/n) \nTimeout. Assuming \"no\".\n", 5},
        {{fake::INTERRUPT, 'y'}, false, 0, "(y/n) \nTimeout. Assuming \"no\".\n", 0},
        {{'Y', '\n'}, true, 0, "(y/n) (y/n) (y/n) \nTimeout. Assuming \"no\".\n", 0},
    };
    for (const auto& c : answers) {
        SCOPED_TRACE(c.output);
        SetUp();
        b().console.keys.assign(c.keys.begin(), c.keys.end());
        b().console.at_eof = c.at_eof;
        const Outcome o = run([] { return yesno_question("Load it? "); });
        EXPECT_EQ(std::pair(o.result, b().slept_us()), std::pair(c.result, c.slept_s * 1000000u));
        EXPECT_EQ(o.out, std::string("Load it? ") + c.output);
    }
}

TEST_F(Usb, RejectListHoldsOneMarkerPerDigestNamedByAWordOfThePath)
{
    // Not rejected before the first add: the whole boots show that.
    const std::string digest = md5 + USB_IMAGE_PATH + scratch, mixed = "0123456789abcdef0123456789ABCDEF";
    digests[USB_IMAGE_PATH] = mixed;
    usb_add_image_to_reject_list(USB_IMAGE_PATH);
    usb_add_image_to_reject_list(USB_IMAGE_PATH);
    EXPECT_EQ(b().commands, (std::vector<std::string>{digest, "mkdir -p /user/images/rejected",
                                                      "touch /user/images/rejected/" + mixed, digest}));
    EXPECT_EQ(usb_is_image_rejected(USB_IMAGE_PATH), 1);

    digests.clear();
    fs::remove_all("/user/images");
    const Outcome o =
        run([] { return usb_add_image_to_reject_list(USB_IMAGE_PATH), usb_is_image_rejected(USB_IMAGE_PATH); });
    EXPECT_EQ(o.out, "Warning: Cannot add image to rejected list!\nWarning: Cannot determine if image is in rejected list!\n");
    EXPECT_FALSE(fs::exists("/user/images/rejected"));

    // The command goes to a real shell on the board: a path must reach md5sum
    // as one literal word whatever it holds. This sandbox's shell shows what
    // the board's would make of it.
    fs::create_symlink("/usr/bin/sh", "/bin/sh");
    for (const char* path : {"/mnt/usb/KVL7730_OS.img", "/mnt/usb/it's $(echo X) `echo Y`; \"a b\"\\ *", "/mnt/usb/a\nb"}) {
        b().commands.clear();
        char got[33];
        get_md5string(path, got);
        const std::string& command = b().commands.at(0);
        ASSERT_TRUE(command.starts_with(md5) && command.ends_with(scratch)) << command;
        const std::string word = command.substr(md5.size(), command.size() - md5.size() - scratch.size());
        ASSERT_EQ(std::system(("printf '%s|' " + word + " > /tmp/seen").c_str()), 0);
        EXPECT_EQ(read_file("/tmp/seen"), std::string(path) + "|");
    }
    // Only a real digest names a file and goes into a shell command.
    for (const char* text : {"d41d8cd98f00b204e98;reboot;f8427e  x\n", "d41d8cd98f00b204e9800998ecf842"}) {
        b().on_command = [&](const std::string&) { return (std::ofstream("/tmp/img_md5string") << text), 0; };
        char got[33] = "untouched";
        EXPECT_EQ(get_md5string("/mnt/usb/x", got), 0) << text;
    }
}
