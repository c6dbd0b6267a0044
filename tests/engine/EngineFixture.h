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

    RecordingOwner owner;
};
