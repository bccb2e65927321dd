def create_engine(*args, **kwargs):
    raise NotImplementedError
