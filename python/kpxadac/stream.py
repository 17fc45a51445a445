Block = Stream = None
