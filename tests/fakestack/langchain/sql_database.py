uris = []


class SQLDatabase:
    def __init__(self, uri):
        self.uri = uri

    @classmethod
    def from_uri(cls, uri):
        uris.append(uri)
        return cls(uri)
