class ChatOpenAI:
    pass
