// group tests (next)
