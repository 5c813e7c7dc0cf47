#include "vision/CameraFrameAssembler.h"
#include "vision/CameraIFMO2D.h"
#include "vision/Imaging.h"

#include "camerasim/CameraSim.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Camera::CameraFrameAssembler;

const std::string kPass = "0000startPASS#1.0#0#3#420#190#190.0#0.0";
const std::string kFail = "0000startFAIL";

// Feeds the pieces in turn and collects the frames handed out.
struct Collector {
    explicit Collector(bool exactFillThrows = true) : assembler(exactFillThrows) {}
    int Feed(const std::string& bytes) {
        return assembler.Feed(bytes.data(), bytes.size(),
                              [this](char* frame, unsigned length) { frames.emplace_back(frame, length); });
    }
    CameraFrameAssembler assembler;
    std::vector<std::string> frames;
};

TEST(CameraFrameAssembler, SplitAtEveryOffsetKeepsEveryFrame) {
    // Garbage, then two frames; the five-zero start opens its frame at the second zero.
    const std::string stream = "x0stop" + kPass + "stop" + "0" + kFail + "stop" + kPass + "st";
    const std::vector<std::string> expected = {kPass, kFail};
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        Collector c;
        c.Feed(stream.substr(0, cut));
        c.Feed(stream.substr(cut));
        EXPECT_EQ(c.frames, expected) << "cut at " << cut;
        // The third frame is open and completes with its "op".
        c.Feed("op");
        ASSERT_EQ(c.frames.size(), 3u) << "cut at " << cut;
        EXPECT_EQ(c.frames[2], kPass);
    }
}

TEST(CameraFrameAssembler, ByteByByteAndAllAtOnceGiveTheSameFrames) {
    const std::string stream = kPass + "stop" + kFail + "stop" + "00" + kPass + "stopjunk";
    Collector whole;
    whole.Feed(stream);
    Collector bytes;
    for (char b : stream) bytes.Feed(std::string(1, b));
    const std::vector<std::string> expected = {kPass, kFail, kPass};
    EXPECT_EQ(whole.frames, expected);
    EXPECT_EQ(bytes.frames, expected);
}

TEST(CameraFrameAssembler, ImageBytesNeverEndAFrame) {
    // Pixel bytes that spell both markers.
    std::string bmp = CameraSim::GreyBmp(32, 4);
    bmp.replace(1078 + 10, 13, "stop0000start");
    const std::string imageFrame = CameraSim::WithImage(kPass + "stop", bmp);
    const std::string stream = imageFrame + kFail + "stop";
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{100}, stream.size()}) {
        Collector c;
        for (size_t at = 0; at < stream.size(); at += chunk) c.Feed(stream.substr(at, chunk));
        ASSERT_EQ(c.frames.size(), 2u) << "chunk " << chunk;
        EXPECT_EQ(c.frames[0], imageFrame.substr(0, imageFrame.size() - 4));
        EXPECT_EQ(c.frames[1], kFail);
    }
}

TEST(CameraFrameAssembler, ImageFrameOfAnySizeAndTheFailAfterItAreCutAtOnce) {
    for (auto size : {std::pair<unsigned, unsigned>{320, 240}, {640, 480}, {3, 1}}) {
        const std::string imageFrame = CameraSim::WithImage(kPass + "stop", CameraSim::GreyBmp(size.first, size.second));
        Collector c;
        c.Feed(imageFrame + kFail + "stop");
        ASSERT_EQ(c.frames.size(), 2u) << size.first;
        EXPECT_EQ(c.frames[0].size(), imageFrame.size() - 4);
        EXPECT_EQ(c.frames[1], kFail);
        EXPECT_EQ(c.assembler.Held(), 0u);
    }
}

TEST(CameraFrameAssembler, StopBeforeAnImageBlockOfTheNextFrameEndsTheFrame) {
    const std::string imageFrame = CameraSim::WithImage(kPass + "stop", CameraSim::GreyBmp(4, 4));
    Collector c;
    c.Feed(kFail + "stop" + imageFrame);
    ASSERT_EQ(c.frames.size(), 2u);
    EXPECT_EQ(c.frames[0], kFail);
}

TEST(CameraFrameAssembler, ImageCountsOutsideTheFrameAreClamped) {
    struct Row {
        const char* block;
        size_t frames;  // frames out of block + "stop" + FAIL frame
    };
    const Row rows[] = {
        {"#BMP#-5#abc", 2},    // negative: search from the image start
        {"#BMP##abc", 2},      // missing count reads 0
        {"#BMP#99999999999#abc", 0},  // beyond the buffer: the frame can never end
    };
    for (const Row& row : rows) {
        Collector c;
        c.Feed(kPass + row.block + "stop" + kFail + "stop");
        EXPECT_EQ(c.frames.size(), row.frames) << row.block;
    }
}

TEST(CameraFrameAssembler, FramesBeyondTheBufferAreDroppedAndTheNextOneIsKept) {
    const std::string big(CameraFrameAssembler::BufferSize, 'x');
    Collector c;
    c.Feed(kPass);
    EXPECT_EQ(c.Feed(big), 1);
    EXPECT_EQ(c.assembler.Held(), 0u);
    c.Feed("stop" + kFail + "stop");
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0], kFail);
}

TEST(CameraFrameAssembler, ExactlyFullBufferThrowsOnlyWhenAskedTo) {
    const std::string fill(CameraFrameAssembler::BufferSize - kPass.size() - 4, 'x');
    Collector strict(true);
    strict.Feed(kPass);
    try {
        strict.Feed(fill + "stop");
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "CameraItf: Received message is bigger than buffer (2)");
    }
    Collector lenient(false);
    lenient.Feed(kPass);
    lenient.Feed(fill + "stop");
    ASSERT_EQ(lenient.frames.size(), 1u);
    EXPECT_EQ(lenient.frames[0].size(), CameraFrameAssembler::BufferSize - 4);
}

TEST(CameraFrameAssembler, FindHandlesEdges) {
    EXPECT_EQ(CameraFrameAssembler::Find("abcstop", 7, "stop"), 3);
    EXPECT_EQ(CameraFrameAssembler::Find("abcsto", 6, "stop"), -1);
    EXPECT_EQ(CameraFrameAssembler::Find("abc", 3, ""), -1);
    EXPECT_EQ(CameraFrameAssembler::Find("st", 2, "stop"), -1);
    EXPECT_EQ(Camera::CameraTCP::Find("x\0stop", 6, "stop"), 2);
}

// Results are reported only while connected; the test marks the camera connected.
class ParsingCamera : public Camera::CameraIFMO2D {
public:
    ParsingCamera() : CameraIFMO2D("Parse") {
        Up = DataTypes::Vector3(1, 0, 0);
        Look = DataTypes::Vector3(0, 0, 1);
        ZDistance = 100.0;
        CreateTransferMatrix();
        connected.store(true);
    }
    int Parse(const std::string& frame) {
        std::string copy = frame;
        return ParseMessage(copy.data(), static_cast<unsigned>(copy.size()));
    }
};

TEST(CameraParseMessage, ResultsOfPassFailAndGarbledFrames) {
    struct Row {
        std::string frame;
        int outcome;
        bool valid;
        int model;
    };
    const Row rows[] = {
        {kPass, 0, true, 3},
        {kFail, -1, false, -1},
        {"0000startPASS#1.0#x#3#420#190#190.0#0.0", -1, false, -1},  // a field that does not convert
        {"0000startPASS#1.0#0#3#420", -1, false, -1},                // fields missing
        {"0000startPASS#1.0#0#3#420#190#nan#0.0", -1, false, -1},    // no usable angle
        {"0000startHELLO", -2, false, -1},
    };
    for (const Row& row : rows) {
        ParsingCamera camera;
        EXPECT_FALSE(camera.HasNewResult());
        EXPECT_EQ(camera.Parse(row.frame), row.outcome) << row.frame;
        EXPECT_TRUE(camera.HasNewResult()) << row.frame;
        DataTypes::Vector3 pos(9, 9, 9);
        DataTypes::Vector3 ori(9, 9, 9);
        int model = 7;
        EXPECT_EQ(camera.GetTargetPos(pos, ori, model), row.valid) << row.frame;
        EXPECT_EQ(model, row.model) << row.frame;
        if (row.valid) {
            EXPECT_FLOAT_EQ(pos.x, 100.0f);
            EXPECT_FLOAT_EQ(pos.y, -50.0f);
            EXPECT_FLOAT_EQ(pos.z, 100.0f);
            EXPECT_FLOAT_EQ(ori.x, -170.0f);
        } else {
            EXPECT_EQ(pos.x, 0.0f);
            EXPECT_EQ(ori.x, 0.0f);
        }
    }
}

TEST(CameraParseMessage, PassAfterPassReplacesTheWholeResultAndFailKeepsNoTarget) {
    ParsingCamera camera;
    camera.Parse(kPass);
    camera.Parse("0000startPASS#1.0#0#5#320#240#-200.0#0.0");
    DataTypes::Vector3 pos;
    DataTypes::Vector3 ori;
    int model = 0;
    ASSERT_TRUE(camera.GetTargetPos(pos, ori, model));
    EXPECT_EQ(model, 5);
    EXPECT_FLOAT_EQ(pos.x, 0.0f);
    EXPECT_FLOAT_EQ(pos.z, 100.0f);
    EXPECT_FLOAT_EQ(ori.x, 160.0f);
    camera.Parse(kFail);
    EXPECT_FALSE(camera.GetTargetPos(pos, ori, model));
}

TEST(CameraParseMessage, TransferMatrixTakesOriginScaleAndOrthonormalAxes) {
    ParsingCamera camera;
    camera.Up = DataTypes::Vector3(0, 2, 0);
    camera.Look = DataTypes::Vector3(0, 0, -3);  // unit length only after the matrix is made
    camera.Origin = DataTypes::Vector3(10, 20, 30);
    camera.ScaleX = 2.0;
    camera.ScaleY = 3.0;
    camera.ZDistance = 50.0;
    camera.CreateTransferMatrix();
    EXPECT_FLOAT_EQ(camera.Up.y, 1.0f);
    EXPECT_FLOAT_EQ(camera.Look.z, -1.0f);
    camera.Parse("0000startPASS#1.0#0#1#330#250#10.0#0.0");
    DataTypes::Vector3 pos;
    DataTypes::Vector3 ori;
    int model = 0;
    ASSERT_TRUE(camera.GetTargetPos(pos, ori, model));
    // p = (2 * 10, 3 * 10, 50); columns Up (0,1,0), Up x Look... = (1,0,0), Look (0,0,-1).
    EXPECT_NEAR(pos.x, 40.0f, 1e-4);
    EXPECT_NEAR(pos.y, 40.0f, 1e-4);
    EXPECT_NEAR(pos.z, -20.0f, 1e-4);
}

TEST(CameraParseMessage, ImagesAreTakenOnlyWhenEnabledAndWhole) {
    const std::string bmp = CameraSim::GreyBmp(5, 3);
    const std::string imageFrame = CameraSim::WithImage(kPass + "stop", bmp);
    const std::string frame = imageFrame.substr(0, imageFrame.size() - 4);

    ParsingCamera camera;
    camera.Parse(frame);
    EXPECT_EQ(camera.GetImage(), nullptr);  // images not enabled

    camera.ImageEnabled.store(true);
    camera.Parse(frame);
    const auto image = camera.GetImage();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->GetWidth(), 5u);
    EXPECT_EQ(image->GetHeight(), 3u);

    // A frame without an image replaces the image by none.
    camera.Parse(kPass);
    EXPECT_EQ(camera.GetImage(), nullptr);

    struct Row {
        std::string frame;
        bool logged;
    };
    const std::string head = kPass + "#BMP#";
    const Row rows[] = {
        {head + "-5#" + bmp, false},                                 // negative: no image
        {head + "#" + bmp, false},                                   // missing: no image
        {head + "999999#" + bmp.substr(0, 100), true},               // count beyond the frame: clamped
        {head + std::to_string(bmp.size()) + "#" + bmp.substr(0, 60), true},
        {head + std::to_string(bmp.size()) + "#XM" + bmp.substr(2), true},
    };
    for (const Row& row : rows) {
        TestSupport::LogCapture log;
        camera.Parse(row.frame);
        EXPECT_EQ(camera.GetImage(), nullptr) << row.frame.substr(0, 60);
        EXPECT_EQ(log.Contains("Camera IFM O2D 'Parse': parsing image failed"), row.logged) << log.Joined();
        DataTypes::Vector3 pos;
        DataTypes::Vector3 ori;
        int model = 0;
        EXPECT_TRUE(camera.GetTargetPos(pos, ori, model));  // the result stands
    }
}

}  // namespace
