class SQLDatabaseToolkit:
    def __init__(self, db=None, llm=None):
        self.db = db
        self.llm = llm
