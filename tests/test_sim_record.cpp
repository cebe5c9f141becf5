// Simulated recordings: the raw frame file, its ground truth and notes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim_frame_file.h"
#include "sim_record.h"

using namespace kavro_sim;

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string first_line(const std::string& s) { return s.substr(0, s.find('\n') + 1); }

class SimRecord : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = "sim_record_" + std::to_string(::getpid());
        ASSERT_EQ(std::system(("rm -rf " + dir_ + " && mkdir " + dir_).c_str()), 0);
    }
    void TearDown() override { (void)std::system(("rm -rf " + dir_).c_str()); }
    std::string dir_;
};

}  // namespace

// The raw file holds exactly the frames the camera renders, in order, after
// one header line whose tag is a product string selecting the EPC driver;
// the truth file holds each frame's ground truth in metres.
TEST_F(SimRecord, FilesHoldTheRenderedFrames)
{
    struct rec_case {
        int format, dcs;
    };
    for (rec_case c : {rec_case{2, 4}, rec_case{4, 1}}) {
        SCOPED_TRACE(c.format);
        record_opts o;
        o.scene = "stairs";
        o.frames = 3;
        o.cfg.seed = 11;
        o.cfg.format = c.format;
        ASSERT_TRUE(sensor_errors_parse("all", &o.cfg.err));
        o.out = dir_ + "/rec.raw";
        std::string err;
        ASSERT_TRUE(record(o, &err)) << err;

        const std::string raw = slurp(o.out), dist = slurp(o.out + ".dist"), meta = slurp(o.out + ".meta");
        const std::string hdr = first_line(raw);
        EXPECT_EQ(hdr, "VX_RAW,U16,320,240," + std::to_string(c.dcs) + ",KVSIM-E2-320\n");
        char f1[17], f2[17], f3[17];
        ASSERT_EQ(std::sscanf(k_sim_product, "%16[^-]-%16[^-]-%16[^-]", f1, f2, f3), 3);
        EXPECT_STREQ(f2, "E2");
        EXPECT_LE(std::strlen(k_sim_product), 18u);  // fits the device's product field

        const size_t frame_bytes = (size_t)320 * 240 * c.dcs * 2;
        ASSERT_EQ(raw.size(), hdr.size() + 3 * frame_bytes);
        const std::string dhdr = first_line(dist);
        EXPECT_EQ(dhdr, "VX_DIST,F32,320,240\n");
        ASSERT_EQ(dist.size(), dhdr.size() + 3 * (size_t)320 * 240 * 4);

        scene sc;
        ASSERT_TRUE(scene_builtin("stairs", &sc));
        camera cam(sc, o.cfg);
        frame f;
        for (int i = 0; i < 3; ++i) {
            cam.render((uint32_t)i, &f);
            EXPECT_EQ(std::memcmp(raw.data() + hdr.size() + i * frame_bytes, f.raw.data(), frame_bytes), 0)
                << "frame " << i;
            std::vector<float> m(320 * 240);
            std::memcpy(m.data(), dist.data() + dhdr.size() + (size_t)i * m.size() * 4, m.size() * 4);
            for (int p = 0; p < 320 * 240; p += 97)
                ASSERT_FLOAT_EQ(m[p], f.truth_mm[p] / 1000.0f) << "frame " << i << " pixel " << p;
            // Drift is on: each frame's temperatures are noted for the replay,
            // which does not carry them.
            std::string line = std::to_string(i) + " " + std::to_string(f.temp_cb) + " " +
                               std::to_string(f.temp_ib) + "\n";
            EXPECT_NE(meta.find("\n" + line), std::string::npos) << line;
            EXPECT_GT(f.temp_cb, 0);
        }
        EXPECT_NE(meta.find("scene stairs\n"), std::string::npos);
        EXPECT_NE(meta.find("seed 11\n"), std::string::npos);
    }
}

TEST_F(SimRecord, RefusesBadRequests)
{
    struct bad_case {
        const char* name;
        std::string scene;
        int frames;
        int format;
        std::string out;
    };
    const bad_case cases[] = {
        {"unknown scene", "moon", 2, 2, dir_ + "/a.raw"},
        {"no frames", "wall", 0, 2, dir_ + "/b.raw"},
        {"format 3", "wall", 2, 3, dir_ + "/c.raw"},
        {"missing folder", "wall", 2, 2, dir_ + "/no/such/d.raw"},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.name);
        record_opts o;
        o.scene = c.scene;
        o.frames = c.frames;
        o.cfg.format = c.format;
        o.out = c.out;
        std::string err;
        EXPECT_FALSE(record(o, &err));
        EXPECT_FALSE(err.empty());
    }
}

// Appending frames: only the first write, at offset 0, carries the header.
TEST_F(SimRecord, WriterHeaderOnlyAtStart)
{
    const std::string path = dir_ + "/w.raw";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<uint16_t> a(4 * 2 * 1, 0x1234), b(4 * 2 * 1, 0xABCD);
    EXPECT_TRUE(file_write_raw(fileno(f), a, 4, 2, 1, "T-E2-X"));
    EXPECT_TRUE(file_write_raw(fileno(f), b, 4, 2, 1, "T-E2-X"));
    EXPECT_FALSE(file_write_raw(fileno(f), std::vector<uint16_t>(7), 4, 2, 1, "T-E2-X"));
    std::fclose(f);
    std::string s = slurp(path);
    const std::string hdr = "VX_RAW,U16,4,2,1,T-E2-X\n";
    ASSERT_EQ(s.size(), hdr.size() + 32);
    EXPECT_EQ(s.substr(0, hdr.size()), hdr);
    EXPECT_EQ((unsigned char)s[hdr.size()], 0x34);  // little-endian
    EXPECT_EQ((unsigned char)s[hdr.size() + 17], 0xAB);
}
