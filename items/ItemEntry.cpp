#include "items/ItemEntry.h"

namespace korven {

ItemEntry::ItemEntry(const ItemEntry& other)
    : linkCount(other.linkCount),
      addError(other.addError),
      itemId(other.itemId),
      serverHandle(other.serverHandle),
      added(other.added),
      quality(other.quality),
      reservedWord(other.reservedWord),
      dataError(other.dataError),
      typeError(other.typeError),
      batchIndex(other.batchIndex) {
    VariantInit(&value);
    VariantCopy(&value, const_cast<VARIANT*>(&other.value));
}

ItemEntry& ItemEntry::operator=(const ItemEntry& other) {
    if (this != &other) {
        linkCount = other.linkCount;
        addError = other.addError;
        itemId = other.itemId;
        serverHandle = other.serverHandle;
        added = other.added;
        VariantClear(&value);
        VariantCopy(&value, const_cast<VARIANT*>(&other.value));
        quality = other.quality;
        reservedWord = other.reservedWord;
        dataError = other.dataError;
        typeError = other.typeError;
        batchIndex = other.batchIndex;
    }
    return *this;
}

}  // namespace korven
