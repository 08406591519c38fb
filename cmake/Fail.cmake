# cmake -DMESSAGE=<text> -P Fail.cmake: a test that fails with the reason it was given.
message(FATAL_ERROR "${MESSAGE}")
