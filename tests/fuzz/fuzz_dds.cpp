// The DDS reader on arbitrary bytes: a file is refused with a reason or gives
// complete levels of the sizes its header names; what it gives is written
// again (uncompressed, then as blocks of each kind) and read back; small ones go through
// Load DDS into a workspace as the window runs it.
#include "dds.h"
#include "files.h"
#include "fuzz_support.h"
#include "layout.h"
#include "library.h"
#include "workspace.h"

#include <QDir>

#include <bit>

namespace {

using namespace corvane;

// A 512 chain at 32 bits with its header is about 1.4 MB.
constexpr size_t kMaxInput = size_t(2) << 20;

struct Paths {
    QString input, work;
};

const Paths& paths() {
    static const Paths p = [] {
        Paths made;
        const QString dir = QString::fromStdString(fuzz::scratchDir());
        made.input = dir + "/input.dds";
        made.work = dir + "/work";
        fuzz::require(QDir().mkpath(made.work), "cannot make the work folder");
        return made;
    }();
    return p;
}

void readAndWriteAgain(const uint8_t* data, size_t size) {
    const DdsReading r = decodeDds(data, size);
    fuzz::consume(uint64_t(r.refusal.size()));
    if (!r.refusal.isEmpty()) {
        fuzz::require(r.chain.levels.empty(), "a refused file gave levels");
        return;
    }
    const DdsChain& chain = r.chain;
    fuzz::require(layout::isLevel(chain.largest) && !chain.levels.empty(), "a read file has no level");
    int edge = chain.largest;
    for (const auto& level : chain.levels) {
        fuzz::require(level.size() == size_t(edge) * size_t(edge) * 4, "a level has the wrong size");
        fuzz::consume(level);
        edge /= 2;
    }
    fuzz::require(int(chain.levels.size() + r.missing.size()) == int(std::bit_width(unsigned(chain.largest))),
                  "levels and missing levels do not make a chain");
    if (!r.missing.empty() || chain.largest > 64) return;

    const std::vector<uint8_t> rgba = encodeDds(chain, DdsFormat::Rgba);
    const DdsReading again = decodeDds(rgba.data(), rgba.size());
    fuzz::require(again.refusal.isEmpty() && again.chain.levels == chain.levels,
                  "an uncompressed chain did not read back as written");
    const std::vector<uint8_t> blocks = encodeDds(chain, resolveDdsFormat(chain, DdsFormat::Auto));
    const DdsReading compressed = decodeDds(blocks.data(), blocks.size());
    fuzz::require(compressed.refusal.isEmpty() && compressed.chain.levels.size() == chain.levels.size(),
                  "a compressed chain did not read back whole");
    // Behind the DX10 header, and BC1 keeping one-bit alpha.
    for (quor::blocks::Format format : {quor::blocks::Format::Bc7, quor::blocks::Format::Bc1}) {
        const std::vector<uint8_t> written = encodeDds(chain, DdsFormat::blocks(format));
        const DdsReading back = decodeDds(written.data(), written.size());
        fuzz::require(back.refusal.isEmpty() && back.chain.levels.size() == chain.levels.size(),
                      "a BC7 or BC1 chain did not read back whole");
    }
}

void loadIntoWorkspace(size_t size) {
    const DdsReading peek = [&] {
        std::vector<uint8_t> bytes;
        readFileBytes(paths().input, bytes, int64_t(size));
        return decodeDds(bytes.data(), bytes.size());
    }();
    if (!peek.refusal.isEmpty() || peek.chain.largest > 64) return;
    Workspace workspace = Workspace::inFolder(paths().work);
    QuorContext context{};
    QuorLibrary library(context);
    const CommandOutcome loaded = loadDds(paths().input, workspace, library, SetOptions{});
    fuzz::consume(uint64_t(loaded.information.size()) + uint64_t(loaded.error.size()));
    fuzz::require(loaded.ok, "a file the reader takes was not loaded");
    workspace.clearSlots();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) return 0;
    readAndWriteAgain(data, size);
    fuzz::writeFile(paths().input.toStdString(), data, size);
    loadIntoWorkspace(size);
    return 0;
}
