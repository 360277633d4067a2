// Modbus TCP requests cut from the stream by their MBAP length; frames a server must not
// answer are dropped whole, so the next one is still read right.
#include "mbap_frame.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using plantsim::MbapCut;

TEST(MbapFrame, CutsAndDrops) {
    const struct {
        const char* name;
        Bytes stream;
        MbapCut cut;
        std::size_t left;  // bytes left on the stream afterwards
    } rows[] = {
        {"read registers",                  {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10},          MbapCut::Request,     0},
        {"two in a row",
         {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10, 0, 2, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1},
         MbapCut::Request,
         12                                                                                                        },
        {"half a frame",                    {0, 1, 0, 0, 0, 6, 1, 3, 0},                    MbapCut::NeedMore,    9},
        {"half a header",                   {0, 1, 0, 0},                                   MbapCut::NeedMore,    4},
        {"protocol id 1",                   {0, 1, 0, 1, 0, 6, 1, 3, 0, 0, 0, 10},          MbapCut::Dropped,     0},
        {"length one short",                {0, 1, 0, 0, 0, 5, 1, 3, 0, 0, 0},              MbapCut::Dropped,     0},
        {"length one long",                 {0, 1, 0, 0, 0, 7, 1, 3, 0, 0, 0, 10, 0},       MbapCut::Dropped,     0},
        {"write registers",                 {0, 1, 0, 0, 0, 9, 1, 16, 0, 5, 0, 1, 2, 0, 7}, MbapCut::Request,     0},
        {"write registers, byte count off",
         {0, 1, 0, 0, 0, 9, 1, 16, 0, 5, 0, 1, 4, 0, 7},
         MbapCut::Dropped,
         0                                                                                                         },
        {"unknown function",                {0, 1, 0, 0, 0, 2, 1, 0x2B},                    MbapCut::Request,     0},
        {"length 1",                        {0, 1, 0, 0, 0, 1, 1},                          MbapCut::Unframeable, 7},
        {"length 255",                      {0, 1, 0, 0, 0, 255, 1},                        MbapCut::Unframeable, 7},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes stream = row.stream;
        Bytes frame;
        EXPECT_EQ(plantsim::cut_mbap_request(stream, frame), row.cut);
        EXPECT_EQ(stream.size(), row.left);
        if (row.cut == MbapCut::Request) {
            EXPECT_EQ(
                Bytes(row.stream.begin(), row.stream.begin() + static_cast<long>(frame.size())),
                frame);
        }
    }
}

}  // namespace
