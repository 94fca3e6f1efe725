#pragma once

#include "MappedImage.h"
#include "VirtualBoard.h"

#include <QString>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace sim {

struct ChipImageFile {
    QString fileName;  // inside the board directory
    std::size_t size;
};

// A kind of board that `lumo3-board create --kind` knows: its chip image
// files and how to build the board over them (in the order of the files).
struct BoardKindInfo {
    QString name;
    std::vector<ChipImageFile> images;
    std::function<std::unique_ptr<VirtualBoard>(const std::vector<MappedImage*>& images)> make;
};

const std::vector<BoardKindInfo>& boardKinds();
const BoardKindInfo* findBoardKind(const QString& name);

}  // namespace sim
