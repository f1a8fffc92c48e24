#include "operation.h"

namespace velmo {

// Each operation's row lives beside the operation; this is the one place
// that lists them.
extern const OperationEntry kDownloadOperation;
extern const OperationEntry kImageOperation;
extern const OperationEntry kReloadOperation;
extern const OperationEntry kFirmwareOperation;
extern const OperationEntry kVerifyOperation;
extern const OperationEntry kEraseOperation;

const std::vector<const OperationEntry*>& operationTable() {
    static const std::vector<const OperationEntry*> table{&kDownloadOperation, &kImageOperation, &kReloadOperation,
                                                          &kFirmwareOperation, &kVerifyOperation, &kEraseOperation};
    return table;
}

const OperationEntry* findOperation(Operation kind) {
    for (const OperationEntry* e : operationTable())
        if (e->traits.kind == kind) return e;
    return nullptr;
}

}  // namespace velmo
