Gap = Recording = None
