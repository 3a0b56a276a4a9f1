// Command routing. The main frame owns one QAction per command id and asks
// its command targets, in routing order, who handles an id: the first target
// that answers decides whether the command is enabled and checked, and runs
// it. An id no target answers for stays disabled, so a button or key whose
// command has no handler can never do something half-made.
#pragma once

namespace corvane::ui {

class CCmdTarget;

// The state an update function fills in for one command.
struct CCmdUI {
    int id = 0;
    bool enabled = true;
    bool checked = false;
    // Filled in by the router: the target that answered, if any.
    CCmdTarget* handledBy = nullptr;
    void Enable(bool on = true) { enabled = on; }
    void SetCheck(bool on = true) { checked = on; }
    // Radio mark: shown like a check on this platform; the action group of
    // the view-style commands keeps them exclusive.
    void SetRadio(bool on = true) { checked = on; }
};

class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;

    // Returns true when this target handles ui.id; the state is then what
    // the target left in ui (enabled by default). False: ask the next one.
    virtual bool OnUpdateCmdUI(CCmdUI& ui) { (void)ui; return false; }
    // Runs command id; returns true when this target handled it.
    virtual bool OnCmdMsg(int id) { (void)id; return false; }
};

} // namespace corvane::ui
