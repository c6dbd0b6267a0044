#pragma once

// Where the product lives on the web: the challenge's "%1" and the footer of
// every message the program composes.
constexpr const char* kProductWebAddress = "https://www.inboxwarden.example/";
constexpr const char* kProductStoreAddress = "https://www.inboxwarden.example/get";
