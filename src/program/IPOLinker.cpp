#include "IPOLinker.h"

#include "core/LogSingleton.h"

#include <stdexcept>
#include <string>

namespace {

const char* BlockName(IpoLinker::Block kind) {
    switch (kind) {
        case IpoLinker::Block::Loop:
            return "Loop";
        case IpoLinker::Block::Matrix:
            return "Matrix";
        case IpoLinker::Block::If:
            return "If";
        default:
            return "?";
    }
}

}  // namespace

IpoLinker::Pending IpoLinker::Pop() {
    if (pending.empty()) {
        // Unreachable with the block checks below; never read past the stack.
        throw std::runtime_error("Program structure broken");
    }
    const Pending p = pending.back();
    pending.pop_back();
    return p;
}

int IpoLinker::TopPredecessor() const {
    if (pending.empty()) {
        throw std::runtime_error("Program structure broken");
    }
    return pending.back().predecessor;
}

void IpoLinker::SetSlot(int command, int slot, int value) {
    Command& c = At(command);
    if (slot == 0) {
        c.nextSuccessor = value;
    } else if (slot == 1) {
        c.bodySuccessor = value;
    } else {
        c.elseSuccessor = value;
    }
}

void IpoLinker::LinkNew(int n) {
    const Pending p = Pop();
    // The first command of a file links nothing through slot 0.
    if (p.slot != 0 || n != 0) {
        SetSlot(p.predecessor, p.slot, n);
    }
    At(n).predecessor = p.predecessor;
}

void IpoLinker::Append(std::shared_ptr<Command> command, Block opens) {
    const int n = Count();
    commands.push_back(std::move(command));
    Command& c = At(n);
    switch (opens) {
        case Block::None:
            LinkNew(n);
            pending.push_back({n, 0});
            break;
        case Block::Loop:
        case Block::Matrix:
            if (opens == Block::Loop) c.bodySuccessor = n;
            if (n > 0) LinkNew(n);
            pending.push_back({n, 0});
            pending.push_back({n, 1});
            blocks.push_back({opens, false});
            break;
        case Block::If:
            c.bodySuccessor = n;
            c.elseSuccessor = n;
            if (n > 0) LinkNew(n);
            pending.push_back({n, 0});
            pending.push_back({n, 2});
            pending.push_back({n, 1});
            blocks.push_back({opens, false});
            break;
    }
}

void IpoLinker::CloseCheck(Block kind, const char* tag, const char* withoutText) {
    bool open = false;
    for (const OpenBlock& b : blocks) {
        open = open || b.kind == kind;
    }
    if (!open) {
        throw std::runtime_error(withoutText);
    }
    if (blocks.back().kind != kind) {
        // Closing an outer block would link another program than the one written.
        throw std::runtime_error(std::string(tag) + " inside an open " + BlockName(blocks.back().kind) +
                                 " block!");
    }
}

void IpoLinker::BackToOpener(int opener, bool scan) {
    const int last = Count() - 1;
    if (scan) {
        for (int i = last; i > opener; --i) {
            if (At(i).nextSuccessor == -2) {
                At(i).nextSuccessor = opener;
                return;
            }
        }
        return;
    }
    if (last > opener && At(last).nextSuccessor == -2) {
        At(last).nextSuccessor = opener;
    }
}

void IpoLinker::RecordEnd(Command::BlockEnd end) { At(Count() - 1).blockEndsAfter.push_back(end); }

void IpoLinker::EndOfRepeatBlock(const char* tag, bool quiet) {
    blocks.pop_back();
    Pop();  // the body's open end
    const int opener = TopPredecessor();
    BackToOpener(opener, true);
    if (At(opener).bodySuccessor == -2) {
        At(opener).bodySuccessor = opener;
    }
    if (!quiet) {
        LogSingleton::instance()->add(std::string("          ") + tag);
    }
}

void IpoLinker::EndLoop(bool quiet) {
    CloseCheck(Block::Loop, "EndLoop", "EndLoop without Loop!");
    EndOfRepeatBlock("EndLoop", quiet);
    RecordEnd(Command::BlockEnd::EndLoop);
}

void IpoLinker::MatrixEnd(bool quiet) {
    CloseCheck(Block::Matrix, "MatrixEnd", "MatrixEnd without Matrix!");
    EndOfRepeatBlock("MatrixEnd", quiet);
    RecordEnd(Command::BlockEnd::MatrixEnd);
}

void IpoLinker::Else(bool quiet) {
    CloseCheck(Block::If, "Else", "Else without If!");
    if (blocks.back().hasElse) {
        throw std::runtime_error("Second Else in one If!");
    }
    blocks.back().hasElse = true;
    const Pending trueEnd = Pop();
    const int ifCommand = TopPredecessor();
    SetSlot(trueEnd.predecessor, trueEnd.slot, ifCommand);
    BackToOpener(ifCommand, false);
    RecordEnd(Command::BlockEnd::Else);
    if (!quiet) {
        LogSingleton::instance()->add("          Else");
    }
}

void IpoLinker::EndIf(bool quiet) {
    CloseCheck(Block::If, "EndIf", "EndIf without If!");
    const bool hasElse = blocks.back().hasElse;
    blocks.pop_back();
    if (!hasElse) {
        const Pending trueEnd = Pop();
        const int ifCommand = TopPredecessor();
        SetSlot(trueEnd.predecessor, trueEnd.slot, ifCommand);
        BackToOpener(ifCommand, false);
        const Pending elseSlot = Pop();
        SetSlot(elseSlot.predecessor, elseSlot.slot, elseSlot.predecessor);
    } else {
        const Pending elseEnd = Pop();
        SetSlot(elseEnd.predecessor, elseEnd.slot, TopPredecessor());
    }
    const int ifCommand = TopPredecessor();
    BackToOpener(ifCommand, false);
    Command& i = At(ifCommand);
    if (i.bodySuccessor == -2) i.bodySuccessor = ifCommand;
    if (i.elseSuccessor == -2) i.elseSuccessor = ifCommand;
    RecordEnd(Command::BlockEnd::EndIf);
    if (!quiet) {
        LogSingleton::instance()->add("          EndIf");
    }
}

void IpoLinker::Finish() const {
    int loops = 0;
    int ifs = 0;
    int matrices = 0;
    for (const OpenBlock& b : blocks) {
        loops += b.kind == Block::Loop ? 1 : 0;
        ifs += b.kind == Block::If ? 1 : 0;
        matrices += b.kind == Block::Matrix ? 1 : 0;
    }
    if (loops > 0) throw std::runtime_error("Nr of Loop and EndLoop do not fit!");
    if (ifs > 0) throw std::runtime_error("Nr of If and EndIf do not fit!");
    // An unclosed pallet block would run its body once and go on.
    if (matrices > 0) throw std::runtime_error("Nr of Matrix and MatrixEnd do not fit!");
}
