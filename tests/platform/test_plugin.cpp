// Loaded by the platform tests through the product's Windows-style path.
extern "C" int orvel_test_answer() { return 42; }
