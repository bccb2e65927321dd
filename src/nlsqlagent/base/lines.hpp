// Source lines of `nlsqlagent/base` that traceback entries and code objects name.
//
// The module behaves as this Python source would; each statement's line below is the one its
// failures report:
//
//   1  from langchain.agents import create_sql_agent
//   2  from langchain.agents.agent_toolkits import SQLDatabaseToolkit
//   3  from langchain.sql_database import SQLDatabase
//   4  from langchain.llms.openai import OpenAI
//   5  from langchain.agents import AgentExecutor
//   6  from langchain.agents.agent_types import AgentType
//   7  from langchain.chat_models import ChatOpenAI
//   8  from sqlalchemy import create_engine
//   9  import os
//  10  from langchain.agents import *
//  11  from langchain.llms import OpenAI
//  12  from langchain.sql_database import SQLDatabase
//  13  import pymysql
//  14
//  15  class DatabaseConnector:
//  16      def __init__(self, db_user=None, db_password=None, db_host=None, db_name=None):
//  17          self.db_user = db_user
//  18          self.db_password = db_password
//  19          self.db_host = db_host
//  20          self.db_name = db_name
//  21          self.db = None
//  22          self.connection_status = {"connected": False, "message": None}
//  23
//  24      def connect(self):
//  25          if None == self.db_user or None == self.db_password or None == self.db_host or None == self.db_name:
//  26              self.connection_status["message"] = "All database credentials must be provided"
//  27              return self.connection_status
//  28          try:
//  29              self.db = SQLDatabase.from_uri(connection_uri(self))   # user and password percent-encoded
//  30              self.connection_status["connected"] = True
//  31              self.connection_status["message"] = "Connection successful"
//  32          except Exception as e:
//  33              self.connection_status["message"] = str(e)
//  34          return self.connection_status
//  35
//  36      def getdbinstance(self):
//  37          if None == self.db_user or None == self.db_password or None == self.db_host or None == self.db_name:
//  38              self.connection_status["message"] = "All database credentials must be provided"
//  39              return self.connection_status
//  40          try:
//  41              self.db = SQLDatabase.from_uri(connection_uri(self))
//  42          except Exception as e:
//  43              self.connection_status["message"] = str(e)
//  44          return self.db
//  45
//  46
//  47  class AgentRunner:
//  48      def __init__(self, llm, toolkit, verbose=True, agent_type=AgentType.ZERO_SHOT_REACT_DESCRIPTION):
//  49          self.llm = llm
//  50          self.toolkit = toolkit
//  51          self.verbose = verbose
//  52          self.agent_type = agent_type
//  53          self.agent_runner = None
//  54          self.error = None
//  55          try:
//  56              self.agent_runner = create_sql_agent(llm=self.llm, toolkit=self.toolkit, verbose=self.verbose, agent_type=self.agent_type)
//  57              if self.agent_runner is None:
//  58                  print("Error occurred during initialization.")
//  59              else:
//  60                  print("Agent runner instance:", self.agent_runner)
//  61          except Exception as e:
//  62              self.error = e
//  63              print("Error occurred:", e)
//  64
//  65      def run(self, query):
//  66          if self.agent_runner:
//  67              return self.agent_runner.run(query)
//  68          else:
//  69              print("Agent runner is not initialized.")
//  70
//  71
//  72  __test__ = {}
#pragma once

namespace nlsqlagent::base::line {

// Initialisation: the set-up before the statements reports the first line.
constexpr int kSetup = 1;
constexpr int kImportPymysql = 13;
constexpr int kConnectorClass = 15;
constexpr int kRunnerClass = 47;
constexpr int kTest = 72;

constexpr int kConnectorInit = 16;
constexpr int kConnectorInitFirstStore = 17;  // the six stores follow on consecutive lines

constexpr int kConnect = 24;
constexpr int kConnectCheck = 25;
constexpr int kConnectMissing = 26;
constexpr int kConnectMissingReturn = 27;
constexpr int kConnectOpen = 29;
constexpr int kConnectConnected = 30;
constexpr int kConnectMessage = 31;
constexpr int kConnectHandler = 33;
constexpr int kConnectReturn = 34;

constexpr int kGetDbInstance = 36;
constexpr int kGetDbInstanceCheck = 37;
constexpr int kGetDbInstanceMissing = 38;
constexpr int kGetDbInstanceMissingReturn = 39;
constexpr int kGetDbInstanceOpen = 41;
constexpr int kGetDbInstanceHandler = 43;
constexpr int kGetDbInstanceReturn = 44;

constexpr int kRunnerInit = 48;
constexpr int kRunnerInitFirstStore = 49;  // the six stores follow on consecutive lines
constexpr int kRunnerCreate = 56;
constexpr int kRunnerIsNone = 57;
constexpr int kRunnerPrintNone = 58;
constexpr int kRunnerPrintAgent = 60;
constexpr int kRunnerStoreError = 62;
constexpr int kRunnerPrintError = 63;

constexpr int kRun = 65;
constexpr int kRunTest = 66;
constexpr int kRunCall = 67;
constexpr int kRunPrint = 69;

}  // namespace nlsqlagent::base::line
