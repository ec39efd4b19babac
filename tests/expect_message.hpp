// Expects `statement` to throw `type` (or a subclass) with exactly the message `text`.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string>

#define EXPECT_THROW_MESSAGE(statement, type, text)                                   \
    do {                                                                              \
        try {                                                                         \
            static_cast<void>(statement);                                             \
            ADD_FAILURE() << "no exception from: " #statement;                        \
        } catch (const type& e) {                                                     \
            EXPECT_EQ(std::string(e.what()), std::string(text));                      \
        } catch (const std::exception& e) {                                           \
            ADD_FAILURE() << "wrong exception type from " #statement ": " << e.what(); \
        }                                                                             \
    } while (0)
