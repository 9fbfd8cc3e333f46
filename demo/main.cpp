// CalmoraOpenCvDemo: one video source wired to one stabiliser.
// - Start-up: banner, configuration file (a default one is written when it
//   is missing or unusable, keeping the user's old file as .bak), optional
//   open-file dialog, source, stabiliser.
// - Loop: capture (1000 ms time-out), stabilise (timed), stack source over
//   result, scale to at most 960 rows, record on request, draw overlays,
//   show, poll keys: ESC ends, SPACE resets the stabiliser, r records.
//   Keys are also polled while no frames come, once a window exists, and
//   "R" typed with Shift or Caps Lock is told apart from "r".
// - Without a display the program stops with a message after the source
//   opened and before the first window, because the GUI toolkit would abort
//   the process instead. The dialog needs no such check: it gives no file
//   then, and the source fails as after a cancel.

#include "DemoConfig.h"
#include "DemoView.h"
#include "FileDialog.h"
#include "KeyInput.h"

#include <calmora/CalmoraOpenCv.h>
#include <calmora/NexfeedOpenCv.h>

#include <opencv2/highgui.hpp>

#include <sys/stat.h>
#include <chrono>
#include <ctime>
#include <iostream>
#include <string>

using orl::calmora::Calmora;
using orl::calmora::CalmoraOpenCv;
using orl::demo::DemoParams;
using orl::video::Nexfeed;
using orl::video::NexfeedOpenCv;

namespace {

constexpr int KEY_ESC = 27;
constexpr int KEY_SPACE = 32;
constexpr int KEY_RECORD = 114;  // lower-case r only
constexpr int CAPTURE_TIMEOUT_MS = 1000;

const std::string BACKUP_FILE_NAME = std::string(orl::demo::CONFIG_FILE_NAME) + ".bak";

// Wall-clock ticks of 100 ns, the unit the averaged time is computed in.
using Ticks100ns = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;

int64_t nowTicks100ns() {
    return std::chrono::duration_cast<Ticks100ns>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void printBanner(const std::string& version) {
    std::cout << "##########################################" << std::endl;
    std::cout << "#                                        #" << std::endl;
    std::cout << "#   CalmoraOpenCv v" << version << " demo app    #" << std::endl;
    std::cout << "#                                        #" << std::endl;
    std::cout << "##########################################" << std::endl;
    std::cout << std::endl;
}

bool fileExists(const char* name) {
    struct stat info {};
    return stat(name, &info) == 0;
}

// Writes the default configuration after a failed start. The user's file,
// if there is one, is copied to .bak first: whatever made it unusable, its
// content is theirs, and the default would otherwise replace it for good.
void writeDefaultConfig(nlohmann::json& document, const DemoParams& defaults) {
    if (fileExists(orl::demo::CONFIG_FILE_NAME)) {
        if (!orl::demo::copyFile(orl::demo::CONFIG_FILE_NAME, BACKUP_FILE_NAME)) {
            std::cout << "ERROR: Can't keep a copy of the config file as " << BACKUP_FILE_NAME
                      << ", the file is left unchanged" << std::endl;
            return;
        }
        std::cout << "The old config file is kept as " << BACKUP_FILE_NAME << std::endl;
    }
    // A loaded document that is no object at the top cannot take "Params";
    // the defaults then make a new document of their own.
    if (!orl::demo::writeDemoParams(document, defaults, "Params")) {
        document = nlohmann::json();
        orl::demo::writeDemoParams(document, defaults, "Params");
    }
    if (!orl::demo::saveJsonFile(document, orl::demo::CONFIG_FILE_NAME))
        std::cout << "ERROR: Can't write config file " << orl::demo::CONFIG_FILE_NAME << std::endl;
}

// Acts on one key code; true when the loop must end.
bool handleKey(int key, Calmora& stabiliser, orl::demo::Recorder& recorder, const cv::Mat& mix) {
    switch (key) {
        case KEY_ESC:
            return true;
        case KEY_SPACE:
            stabiliser.executeCommand(orl::calmora::RESET);
            return false;
        case KEY_RECORD:
            if (recorder.recording())
                recorder.stop();
            else
                recorder.start(orl::demo::timeStamp(std::time(nullptr)),
                               cv::Size(mix.cols, mix.rows / 2), mix.size());
            return false;
        default:
            return false;
    }
}

// Reads the configuration file into `params`. When it is missing or
// unusable, writes the default configuration (the source's and the
// stabiliser's defaults, the source asked for by dialog) and returns false.
bool loadConfig(DemoParams& params, Nexfeed& source, Calmora& stabiliser) {
    nlohmann::json document;
    bool configured = false;
    if (!orl::demo::loadJsonFile(orl::demo::CONFIG_FILE_NAME, document))
        std::cout << "ERROR: Can't open config file" << std::endl;
    else if (!orl::demo::readDemoParams(document, "Params", params))
        std::cout << "ERROR: Can't read params from file" << std::endl;
    else
        configured = true;
    if (!configured) {
        params.videoSource = source.getParams();
        params.videoSource.source = "file dialog";
        params.videoStabiliser = stabiliser.getParams();
        writeDefaultConfig(document, params);
    }
    return configured;
}

// Opens the configured source (asking for a file first when it says so) and
// the stabiliser, and checks for a display; false, with the reason printed,
// when the program cannot go on. Starts the key watcher when it can.
bool start(DemoParams& params, Nexfeed& source, Calmora& stabiliser) {
    // Without a display the dialog gives no file, so the source fails to open
    // with its own message.
    if (params.videoSource.source == "file dialog" || params.videoSource.source == "dialog")
        params.videoSource.source = orl::demo::openFileDialog();

    if (!source.open(params.videoSource)) {
        std::cout << "ERROR: Can't init video source" << std::endl;
        return false;
    }
    if (!stabiliser.init(params.videoStabiliser)) {
        std::cout << "ERROR: Can't init video stabiliser" << std::endl;
        return false;
    }
    if (!orl::demo::displayAvailable()) {
        std::cout << "ERROR: No display available" << std::endl;
        return false;
    }
    if (orl::demo::x11DisplayAvailable() && orl::demo::ensureQtApplication())
        orl::demo::watchKeys();
    return true;
}

// Captures, stabilises and shows frames in the window `title` until ESC;
// ends any recording and closes the windows.
void run(Nexfeed& source, Calmora& stabiliser, const std::string& title) {
    orl::video::Frame sourceFrame;
    orl::video::Frame resultFrame;
    cv::Mat mix;
    cv::Mat display;
    float averageMs = 5.0f;
    orl::demo::Recorder recorder;
    bool windowShown = false;

    while (true) {
        // capture
        if (!source.getFrame(sourceFrame, CAPTURE_TIMEOUT_MS)) {
            std::cout << "No input frame" << std::endl;
            stabiliser.executeCommand(orl::calmora::RESET);
            // Keys are polled here too: a source that stays silent must not
            // make ESC useless. Without a window there are no keys to poll.
            if (windowShown &&
                handleKey(orl::demo::typedKey(cv::waitKey(1)), stabiliser, recorder, mix))
                break;
            continue;
        }

        // stabilise, timed
        const int64_t startTicks = nowTicks100ns();
        stabiliser.stabilise(sourceFrame, resultFrame);
        const int64_t endTicks = nowTicks100ns();
        averageMs = orl::demo::updateAverageMs(averageMs, endTicks - startTicks);

        // compose, scale, record, draw, show
        if (orl::demo::composeMix(sourceFrame, resultFrame, mix)) {
            orl::demo::makeDisplay(mix, display);
            if (recorder.recording())
                recorder.write(orl::demo::resultView(resultFrame), mix);
            orl::demo::drawOverlays(display, recorder.recording(), averageMs);
            cv::imshow(title, display);
            windowShown = true;
        }
        if (windowShown &&
            handleKey(orl::demo::typedKey(cv::waitKey(1)), stabiliser, recorder, mix))
            break;
    }

    if (recorder.recording())
        recorder.stop();
    cv::destroyAllWindows();
}

}  // namespace

int main() {
    const std::string version = CalmoraOpenCv::getVersion();
    printBanner(version);

    CalmoraOpenCv stabiliserObject;
    NexfeedOpenCv sourceObject;
    Calmora& stabiliser = stabiliserObject;
    Nexfeed& source = sourceObject;

    DemoParams params;
    if (!loadConfig(params, source, stabiliser) || !start(params, source, stabiliser))
        return -1;
    run(source, stabiliser, "CalmoraOpenCv v" + version);
    return 0;
}
