#include "BoardCatalog.h"

#include "Lumo3Board.h"
#include "MiniLumoBoard.h"

namespace sim {

const std::vector<BoardKindInfo>& boardKinds()
{
    static const std::vector<BoardKindInfo> kinds = {
        {"lumo3",
         {{"n25q256.img", N25Q256::kSize}},
         [](const std::vector<MappedImage*>& images) -> std::unique_ptr<VirtualBoard> {
             return std::make_unique<Lumo3Board>(images.at(0)->data());
         }},
        {"minilumo",
         {{"mx25l3206e.img", MX25L3206E::kSize}},
         [](const std::vector<MappedImage*>& images) -> std::unique_ptr<VirtualBoard> {
             return std::make_unique<MiniLumoBoard>(images.at(0)->data());
         }},
    };
    return kinds;
}

const BoardKindInfo* findBoardKind(const QString& name)
{
    for (const BoardKindInfo& kind : boardKinds())
        if (kind.name == name)
            return &kind;
    return nullptr;
}

}  // namespace sim
