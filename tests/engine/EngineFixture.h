#pragma once

#include <gtest/gtest.h>

#include "ProgramFolder.h"
#include "RecordingOwner.h"
#include "engine/CInboxWardenEngine.h"
#include "lists/CFilterLists.h"

// A test on a throwaway program folder (see ProgramFolder), with an owner
// that records what the engine reports.
class EngineFixture : public ::testing::Test, protected ProgramFolder {
protected:
    EngineFixture() : ProgramFolder([](const char* what) { ADD_FAILURE() << what; }) {}

    // Empties every filter list, for tests that must start from none.
    static void ClearLists() {
        CFilterLists& lists = CFilterLists::Instance();
        for (int id = 0; id < FL_Count; ++id) {
            for (const auto& entry : lists.GetEntries(id)) {
                lists.DeleteWord(entry.words, id);
            }
        }
    }

    RecordingOwner owner;
};
