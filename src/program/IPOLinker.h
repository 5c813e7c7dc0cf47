#pragma once

// Links the commands of one program file into a flow graph while the loader appends
// them: the next/body/else successors and the predecessor of each command, with the
// blocks Loop..EndLoop, Matrix..MatrixEnd and If..Else..EndIf. Faults of the block
// structure throw std::runtime_error with the text the loader reports.

#include "program/Command.h"

#include <memory>
#include <vector>

class IpoLinker {
public:
    enum class Block { None, Loop, Matrix, If };

    // Appends the command and links it; an opener also opens its block.
    void Append(std::shared_ptr<Command> command, Block opens);
    void EndLoop(bool quiet);
    void MatrixEnd(bool quiet);
    void Else(bool quiet);
    void EndIf(bool quiet);
    // After the last element: every block must be closed.
    void Finish() const;

    int Count() const { return static_cast<int>(commands.size()); }
    std::vector<std::shared_ptr<Command>>& Commands() { return commands; }

private:
    struct Pending {
        int predecessor;
        int slot;  // 0 next, 1 body/true, 2 else
    };
    struct OpenBlock {
        Block kind;
        bool hasElse;
    };

    Command& At(int index) { return *commands[static_cast<size_t>(index)]; }
    Pending Pop();
    int TopPredecessor() const;
    void SetSlot(int command, int slot, int value);
    // Pops the open end of the previous command and links n after it.
    void LinkNew(int n);
    // Checks that the innermost open block is of this kind; the tag names the end.
    void CloseCheck(Block kind, const char* tag, const char* withoutText);
    // Points the next successor of the last -2 command inside the block opened at
    // opener back to it. An empty block has none, so its opener never points at itself.
    void BackToOpener(int opener, bool scan);
    void EndOfRepeatBlock(const char* tag, bool quiet);
    // The block end follows the last command in the file; it is written after it.
    void RecordEnd(Command::BlockEnd end);

    std::vector<std::shared_ptr<Command>> commands;
    std::vector<Pending> pending{Pending{0, 0}};
    std::vector<OpenBlock> blocks;
};
